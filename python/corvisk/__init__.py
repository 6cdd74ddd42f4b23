"""corvisk: GigE Vision / GenICam camera client.

Everything public lives in the compiled core ``corvisk._corvisk_core`` and is re-exported
here, so ``corvisk.discover()``, ``corvisk.CameraError`` etc. are the names to use.
"""

from . import _corvisk_core
from ._corvisk_core import *  # noqa: F401,F403  (the core's public names, as they grow)
from .image import as_array, convert, save  # noqa: F401  (frames as arrays and image files)

# IP configuration (corvisk/ipconfig.py): package API beyond the core, not star-exported.
from .ipconfig import (DiscoveredDevice, IpConfigMode, PersistentIp, find_devices, force_ip,
                       persistent_ip, set_ip_config_mode, set_persistent_ip)

# The version the native modules were built from (pyproject.toml, through CMake).
from ._corvisk_ext import build_version as __version__  # noqa: E402

__all__ = sorted(name for name in vars(_corvisk_core) if not name.startswith("_"))
__all__.append("__version__")

# Feature introspection (native part in _corvisk_ext), beyond the core module's fixed surface.
# Reached as corvisk.describe etc.; __all__ stays the core's names (star-imports are unchanged).
from .introspection import (  # noqa: E402
    Category,
    EnumEntryInfo,
    FeatureInfo,
    category_tree,
    describe,
    feature_names,
    selectors,
)


# Device events (native part in _corvisk_ext), beyond the core module's fixed surface.
from .events import Event, Events, events  # noqa: E402

# Chunk data (native part in _corvisk_ext).
from .chunks import chunk_layout, chunks  # noqa: E402
