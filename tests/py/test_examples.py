"""Every script in examples/ runs against corvisk-sim and exits 0 within 60 s.

Convention for examples (so new ones are picked up without touching this file):
- the camera address(es) come as argv[1:]; the test starts one default corvisk-sim per address;
- a line `# corvisk-sim: --option value ...` gives extra simulator options;
- a line `# cameras: N` asks for N simulated cameras (N addresses on argv);
- a line `# example-test: skip <reason>` opts out;
- files are written only into the working directory (a fresh temporary one here).

Example number i (in name order) serves its cameras on 127.31.(10 + i).1, .2, ...
fix_camera_address.py broadcasts, so it opts out and runs here in a namespace pair instead.
"""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from netns import _ip
from test_camera_connect import ROOT, SIM, needs_sim, sim  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim

EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
_DIRECTIVE = re.compile(r"^# (corvisk-sim|cameras|example-test):(.*)$", re.MULTILINE)


def directives(path):
    """{'corvisk-sim': [...options], 'cameras': N, 'skip': reason or None} of one example."""
    found = {"corvisk-sim": [], "cameras": 1, "skip": None}
    for key, value in _DIRECTIVE.findall(path.read_text()):
        value = value.strip()
        if key == "corvisk-sim":
            found[key] += shlex.split(value)
        elif key == "cameras":
            found[key] = int(value)
        elif value.startswith("skip"):
            found["skip"] = value[len("skip"):].strip() or "no reason given"
    return found


def test_the_convention_is_read(tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text('"""Doc."""\n# corvisk-sim: --pattern White --width 8\n# cameras: 3\n'
                     "x = 1  # cameras: 9 (not at a line start: not a directive)\n"
                     "# example-test: skip why\n")
    assert directives(probe) == {"corvisk-sim": ["--pattern", "White", "--width", "8"],
                                 "cameras": 3, "skip": "why"}
    probe.write_text("print(1)\n")
    assert directives(probe) == {"corvisk-sim": [], "cameras": 1, "skip": None}


def _tree(directory):
    return sorted(str(p.relative_to(directory)) for p in directory.rglob("*")
                  if "__pycache__" not in p.parts)


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs_against_the_simulated_camera(sim, tmp_path, path):
    found = directives(path)
    if found["skip"]:
        pytest.skip(found["skip"])
    index = EXAMPLES.index(path)
    addresses = [f"127.31.{10 + index}.{n + 1}" for n in range(found["cameras"])]
    for ip in addresses:
        sim(ip, "--frame-rate", "30", *found["corvisk-sim"])
    before = _tree(ROOT / "examples")
    env = {**os.environ, "HOME": str(tmp_path), "MPLBACKEND": "Agg"}
    done = subprocess.run([sys.executable, str(path), *addresses], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"{path.name} failed:\n{done.stdout}\n{done.stderr}"
    assert _tree(ROOT / "examples") == before  # nothing written beside the examples


def test_fix_camera_address_moves_a_camera_across_subnets(lab, tmp_path):
    """The example that broadcasts, in a pair of namespaces: a camera at 192.168.31.7 behind
    an adapter on 10.31.0.0/24 is moved to the address given on the command line."""
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.31.0.1/24", device, "192.168.31.7/24")
    # The new address exists on the device's side, so the simulator can move onto it.
    _ip("-n", device.name, "addr", "add", "10.31.0.2/24", "dev", "cvkb0")
    camera = lab.spawn(device, SIM, "--ip", "192.168.31.7", "--subnet", "255.255.255.0",
                       "--mac", "02:00:5e:31:00:07", "--discovery-reply", "limited")
    assert camera.read_until(lambda lines: any("ready" in line for line in lines)), camera.lines
    done = subprocess.run(client.exec_args(sys.executable, str(ROOT / "examples" /
                                                                "fix_camera_address.py"),
                                           "10.31.0.2"),
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "02:00:5e:31:00:07 moved to 10.31.0.2" in done.stdout
    assert camera.read_until(lambda lines: "corvisk-sim moved to 10.31.0.2" in lines)
