"""Finds the korvane-cli program that the package drives."""

import os
import shutil
import sys
from pathlib import Path

from .errors import LinkError

# The Windows installer records where it put the program under this key.
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvane"
EXE = "korvane-cli.exe" if os.name == "nt" else "korvane-cli"


def _beside_package():
    """The CLI inside the package folder, or in the bin folder of the prefix
    that the package is installed under (<prefix>/lib/python3/dist-packages
    -> <prefix>/bin, as the Debian package lays them out)."""
    here = Path(__file__).resolve().parent
    yield here / EXE
    for parent in here.parents:
        if parent.name == "lib":
            yield parent.parent / "bin" / EXE
            break


def _from_registry():
    if sys.platform != "win32":
        return None
    import winreg

    try:
        with winreg.OpenKey(winreg.HKEY_CURRENT_USER, UNINSTALL_KEY) as key:
            folder, _ = winreg.QueryValueEx(key, "InstallLocation")
    except OSError:
        return None
    return Path(folder) / EXE


def find_cli(explicit=None):
    """The path of korvane-cli: `explicit`, else $KORVANE_CLI, else beside
    the installed package, else (Windows) where the installer put it, else
    on PATH. Raises LinkError when there is none."""
    for given in (explicit, os.environ.get("KORVANE_CLI")):
        if given:
            if not Path(given).is_file():
                raise LinkError(f"korvane-cli not found at {given}")
            return str(given)
    candidates = list(_beside_package())
    candidates.append(_from_registry())
    for path in candidates:
        if path is not None and path.is_file():
            return str(path)
    found = shutil.which("korvane-cli")
    if found:
        return found
    raise LinkError("korvane-cli not found: set KORVANE_CLI, pass cli=..., or put it on PATH")
