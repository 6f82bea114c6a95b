"""@brief The package installs as the README says, with no network: a venv that sees Debian's
packages, then `pip install ./python` from a copy of the source (so the build leaves nothing in the
tree). Exits 77 (skipped) where the interpreter cannot make a venv with pip.

Usage: install_offline.py SOURCE_DIR WORK_DIR
"""

import os
import shutil
import subprocess
import sys
import venv


def main():
    source, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    package = os.path.join(work, "python")
    shutil.copytree(os.path.join(source, "python"), package,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    env_dir = os.path.join(work, "venv")
    try:
        venv.create(env_dir, system_site_packages=True, with_pip=True)
    except (subprocess.CalledProcessError, OSError) as e:
        print(f"SKIP: no venv with pip here ({e})")
        return 77
    python = os.path.join(env_dir, "bin", "python")
    # Nothing but what is on this machine: no index, no wheel folder from the environment.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONPATH", None)
    subprocess.run([python, "-m", "pip", "install", "--quiet", package], check=True, env=env, cwd=work)
    probe = ("import os, sys, tallyscope\n"
             "where = os.path.dirname(tallyscope.__file__)\n"
             "assert where.startswith(sys.prefix), where\n"
             "assert hasattr(tallyscope, 'Tallyscope') and hasattr(tallyscope, 'read_run')\n"
             "print(tallyscope.__version__, where)\n")
    subprocess.run([python, "-c", probe], check=True, env=env, cwd=work)
    usage = subprocess.run([python, "-m", "tallyscope", "export", "--help"], check=True, env=env, cwd=work,
                           capture_output=True, text=True).stdout
    assert "--hdf5" in usage and "--npz" in usage, usage
    print("installed offline")
    return 0


if __name__ == "__main__":
    sys.exit(main())
