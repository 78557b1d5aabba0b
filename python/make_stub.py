"""Writes a module's type stub from the built module's own signatures.

    python make_stub.py MODULE MODULE_DIR OUTPUT.pyi

pybind11-stubgen spells the fixed-size marker as its own helper class; the stub keeps it as
plain text metadata instead, so that reading the stub needs nothing but the standard library
(and NumPy, for the capture's arrays).
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path


def main() -> int:
    module, module_dir, target = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    # The module's folder goes in front of the inherited path: a pip build environment finds
    # its build requirements (pybind11-stubgen among them) through PYTHONPATH.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(
            [sys.executable, "-m", "pybind11_stubgen", module, "--exit-code", "-o", tmp],
            check=True,
            env=env,
        )
        text = (Path(tmp) / f"{module}.pyi").read_text(encoding="utf-8")
    text = re.sub(r"pybind11_stubgen\.typing_ext\.FixedSize\((\d+)\)", r'"FixedSize(\1)"', text)
    text = text.replace("import pybind11_stubgen.typing_ext\n", "")
    if "pybind11_stubgen" in text:
        print("make_stub: unexpected stubgen reference left in the stub", file=sys.stderr)
        return 1
    target.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
