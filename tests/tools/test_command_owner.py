"""The korvelquor command has one owner, the korvelquor distribution (pip install . and the
wheels). Were a second distribution to declare it as well (as tools/ once did), installing
both would leave it to pip which of the two scripts the command runs."""

import os
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

from conftest import REPO


def test_only_the_root_project_declares_the_command():
    tomllib = pytest.importorskip("tomllib")  # Python 3.11 on
    listed = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "*pyproject.toml"],
        cwd=REPO,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    assert "pyproject.toml" in listed
    owners = [
        name
        for name in listed
        if (REPO / name).exists()
        and "korvelquor"
        in tomllib.loads((REPO / name).read_text()).get("project", {}).get("scripts", {})
    ]
    assert owners == ["pyproject.toml"]


def test_no_other_installed_distribution_declares_the_command():
    # Metadata on sys.path counts too: a setuptools build in tools/ leaves an egg-info there.
    owners = {
        dist.metadata["Name"]
        for dist in metadata.distributions()
        for ep in dist.entry_points
        if ep.group == "console_scripts" and ep.name == "korvelquor"
    }
    assert owners <= {"korvelquor"}, owners


def test_the_dev_venv_runs_the_command_from_this_checkout():
    venv = REPO / ".venv"
    if Path(sys.prefix).resolve() != venv.resolve():
        pytest.skip("not the checkout's .venv")
    # Without the suite's PYTHONPATH: what scripts/setup left in the venv alone.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    where = subprocess.run(
        [
            str(venv / "bin" / "python"),
            "-c",
            "import korvelquor_tools; print(korvelquor_tools.__file__)",
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
        check=True,
    )
    package = (REPO / "tools" / "korvelquor_tools").resolve()
    assert Path(where.stdout.strip()).resolve().parent == package
    out = subprocess.run(
        [str(venv / "bin" / "korvelquor"), "--help"],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("usage: korvelquor ")
