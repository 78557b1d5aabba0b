"""What a freshly installed wheel must do, run by its own interpreter inside the private
network: import both modules, turn an error raised inside libkorvelquor into the Python error
and text users catch (each native file carries its own C++ runtime, so this crosses two),
read the substitute's states, and hand the client from one module to the other.

    python read_substitute.py SERIAL START     (START: epoch seconds when pip install began)
"""

import sys
import time

import korvelquor
import korvelquor_capture

serial, start = sys.argv[1], float(sys.argv[2])
try:
    korvelquor.Client("AB-$*", verbose=False)
    raise SystemExit("a malformed serial number was accepted")
except ValueError as e:
    assert str(e) == (
        "[korvel::quor::Client] Format of the provided robot serial number is invalid"
    ), str(e)
client = korvelquor.Client(serial, verbose=False)
states = client.states()
first = time.time() - start
assert set(states) == {
    korvelquor.ALL,
    korvelquor.ARMS,
    korvelquor.ARM_1,
    korvelquor.ARM_2,
    korvelquor.EXT_AXIS,
}, states
capture = korvelquor_capture.Capture(client)
time.sleep(0.3)
assert capture.drain().basic.rows > 100
print(f"first states() {first:.1f} s after pip install began")
