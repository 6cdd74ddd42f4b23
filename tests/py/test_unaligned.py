"""Features whose registers sit at odd addresses and lengths, read and written through the node
map of a camera served by `corvisk-sim --description` (loopback addresses 127.28.x.y).

The device moves only whole 4-byte words, so every access goes by the words enclosing the
register; the registers packed beside it in those words must come through unchanged.
"""

import pytest

from test_camera_connect import needs_sim
from test_corpus import served  # noqa: F401  (fixture)

pytestmark = needs_sim

# Three registers packed into the words at 0x20000..0x20007, and a string at an odd address
# spanning three words.
DESCRIPTION = """<?xml version="1.0"?>
<RegisterDescription>
  <IntReg Name="Low"><Address>0x20000</Address><Length>1</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="Odd"><Address>0x20001</Address><Length>2</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess></IntReg>
  <IntReg Name="Straddling"><Address>0x20003</Address><Length>3</Length>
    <AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess></IntReg>
  <StringReg Name="Label"><Address>0x20011</Address><Length>9</Length>
    <AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>
  <Port Name="Device"/>
</RegisterDescription>
"""


@pytest.fixture
def description(tmp_path):
    path = tmp_path / "packed.xml"
    path.write_text(DESCRIPTION)
    return path


@pytest.mark.parametrize("ip, options", [
    ("127.28.1.1", ()),
    ("127.28.1.2", ("--nak", "0x0084=0x8001", "--nak", "0x0086=0x8001")),
], ids=["memory-commands", "register-commands"])
def test_odd_address_registers_read_and_write_without_touching_neighbours(
        served, description, ip, options):  # noqa: F811
    _, cam = served(ip, description, *options)
    before = {name: cam.get_integer(name) for name in ("Low", "Odd", "Straddling")}
    cam.set_integer("Odd", 0xBEEF)
    cam.set_integer("Straddling", 0x123456)
    cam.set_string("Label", "odd word")
    cam.invalidate_caches()
    assert cam.get_integer("Odd") == 0xBEEF
    assert cam.get_integer("Straddling") == 0x123456
    assert cam.get_integer("Low") == before["Low"]
    assert cam.get_string("Label") == "odd word"
    cam.set_integer("Low", 0x5A)
    cam.invalidate_caches()
    assert (cam.get_integer("Low"), cam.get_integer("Odd")) == (0x5A, 0xBEEF)
