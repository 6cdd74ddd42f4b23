from typing import Any, Dict, List, Tuple, Union

from ._corvisk_core import Camera, Frame

FeatureValue = Union[int, float, bool, str]

def chunk_layout(frame: Frame | bytes | bytearray | memoryview) -> List[Tuple[int, int, int]]: ...
def chunks(frame: Frame, camera: Camera) -> Dict[str, FeatureValue]: ...
