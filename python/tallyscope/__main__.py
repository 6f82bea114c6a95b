"""@brief python3 -m tallyscope export RUN --hdf5 OUT.h5 / --npz OUT.npz: exit 0 done, 1 a bad file, 2 a wrong call."""

import argparse
import sys

from . import __version__
from .errors import FormatError
from .run import read_run


def _parsers():
    parser = argparse.ArgumentParser(prog="python3 -m tallyscope",
                                     description="Tallyscope data files: read a run and export it.")
    parser.add_argument("--version", action="version", version=f"tallyscope {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    export = commands.add_parser("export", help="write a run's records and sidecar as HDF5 and/or npz",
                                 description="Reads a data file (plain, verbose or raw; a raw file needs its "
                                             "sidecar beside it) and writes its records as datasets and its "
                                             "sidecar as attributes.")
    export.add_argument("run", metavar="RUN", help="the data file (its sidecar is found beside it)")
    export.add_argument("--hdf5", metavar="OUT.h5", help="write HDF5 here (needs h5py)")
    export.add_argument("--npz", metavar="OUT.npz", help="write a numpy .npz archive here")
    return parser, export


def _fail(text):
    # One line, whatever the message: the excerpts in it are escaped already.
    print("tallyscope: " + str(text).replace("\n", " "), file=sys.stderr)
    return 1


def main(argv=None):
    parser, export = _parsers()
    args = parser.parse_args(argv)
    if not (args.hdf5 or args.npz):
        export.error("export needs --hdf5 OUT.h5 or --npz OUT.npz")
    try:
        run = read_run(args.run)
    except FormatError as e:
        return _fail(e)
    except OSError as e:
        return _fail(f"cannot read {args.run}: {e.strerror or e}")

    from .export import write_hdf5, write_npz

    for path, write in ((args.hdf5, write_hdf5), (args.npz, write_npz)):
        if not path:
            continue
        try:
            write(run, path)
        except ImportError:
            return _fail("--hdf5 needs h5py (pip install 'tallyscope[hdf5]')")
        except (OSError, ValueError, TypeError) as e:
            return _fail(f"cannot write {path}: {e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
