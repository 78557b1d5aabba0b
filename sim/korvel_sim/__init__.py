"""korvel_sim: a substitute robot controller for testing the korvelquor client.

Run it with ``python -m korvel_sim --serial "AB 4s-012345" --layout two-arm``; drive its
faults with :mod:`korvel_sim.control` and start or stop it from tests with
:mod:`korvel_sim.testing`.
"""
