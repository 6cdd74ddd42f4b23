"""Features that check what they are given, settings files and user sets.

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/settings.py [IP]

Writes camera.json and camera.pfs into the current directory.
"""

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    f = corvisk.features(cam)
    for name in ("Width", "ExposureTime", "PixelFormat", "ReverseX"):
        print(f[name])  # type, value, unit, access and limits
    f["Width"].value = 800
    f["ExposureTime"].value = 2500.0
    try:
        f["Width"].value = 801  # off the increment: refused before it reaches the camera
    except ValueError as e:
        print("refused:", e)

    saved = corvisk.save_settings(cam, "camera.json")
    corvisk.save_settings(cam, "camera.pfs")  # the same as Name<TAB>Value lines
    print(f"saved {len(saved.applied)} settings")

    if "UserSetSelector" in f:
        corvisk.user_set_save(cam, "UserSet1")
        corvisk.user_set_load(cam, "Default")  # factory settings
        print("after loading Default: Width =", f["Width"].value)

    loaded = corvisk.load_settings(cam, "camera.json")
    print(f"restored {len(loaded.applied)} settings; Width = {f['Width'].value}")
    for name, value, why in loaded.failed:
        print(f"  not applied: {name} = {value}: {why}")
finally:
    cam.disconnect()
