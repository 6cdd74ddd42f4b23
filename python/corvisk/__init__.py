"""corvisk: GigE Vision / GenICam camera client.

Everything public lives in the compiled core ``corvisk._corvisk_core`` and is re-exported
here, so ``corvisk.discover()``, ``corvisk.CameraError`` etc. are the names to use.
"""

from . import _corvisk_core
from ._corvisk_core import *  # noqa: F401,F403  (the core's public names, as they grow)
from .reconnect import Reconnector  # noqa: F401  (re-establishes an acquisition after control loss)
from .image import as_array, convert, save  # noqa: F401  (frames as arrays and image files)
from .recorder import Recorder  # noqa: F401  (frames to disk on background threads)
from . import aio  # noqa: F401  (asyncio helpers: corvisk.aio.frames, corvisk.aio.snap)

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

# The feature facade with checked writes, and settings files and user sets, built on the
# introspection above (corvisk/feature_facade.py, corvisk/settings.py).
from .feature_facade import Feature, Features, features  # noqa: E402
from .settings import (  # noqa: E402
    SettingsResult,
    load_settings,
    save_settings,
    user_set_default,
    user_set_load,
    user_set_save,
    user_sets,
)
# Live view in the browser (corvisk/view.py): corvisk.view.serve(cam), `corvisk view IP`.
from . import view  # noqa: E402,F401
# Action commands and device clocks (corvisk/actions.py, corvisk/clock.py).
from .actions import ActionAck, action  # noqa: E402
from .clock import DeviceClock, PtpState, clock, ptp_state  # noqa: E402
# Multicast streams and read-only monitor connections (corvisk/monitor.py).
from .monitor import Monitor, MulticastFrame, MulticastStream, multicast_acquisition  # noqa: E402
# Stream settings the capture methods take no keywords for (receive buffer, pool memory limit).
from .streamconfig import StreamSettings, stream_config  # noqa: E402,F401
# The library's log records in Python's logging (corvisk/logs.py); CORVISK_LOG=debug turns it
# on from the environment.
from .logs import TRACE, disable_logging, enable_logging  # noqa: E402
from . import logs as _logs  # noqa: E402
# Files on the camera through its file access features (corvisk/files.py).
from .files import (  # noqa: E402
    CameraFile,
    FileOperationError,
    delete_file,
    list_files,
    open_file,
    read_file,
    write_file,
)
# Host diagnostics and link sharing between cameras (corvisk/hostcheck.py, corvisk/bandwidth.py);
# `corvisk doctor [IP]` prints the findings.
from .hostcheck import Adapter, Finding, check_host  # noqa: E402
from .bandwidth import CameraShare, LinkPlan, share_link  # noqa: E402

_logs._enable_from_environment()
