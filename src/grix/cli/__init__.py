"""The grix command line: distances, diffs and distance matrices of files.

Exit status: 0 on success, 1 on a bad input or a failed computation (one
line on stderr naming the file), 2 on a usage error, 130 on Ctrl-C, and 141
when the reader of the output goes away before all of it is written
(``grix diff ... | head -1`` on a long diff), quietly, as a process stopped
by SIGPIPE would. Output that fits in the pipe is written before the reader
leaves, so the status is then 0, as for any program.

Each family of commands adds its own subcommands: the tree commands here
(:mod:`grix.cli.tree_commands`), the table scores in their own package. This
module only builds the parser from them, runs the command chosen and turns
its errors into one line and an exit status.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from .. import __version__
from ..errors import InputError
from ..tables.command import add_command as add_teds_command, run as run_teds_command
from . import tree_commands
from .inputs import first_line

__all__ = ["main"]

Runner = Callable[[argparse.Namespace], None]


def parser() -> tuple[argparse.ArgumentParser, dict[str, Runner]]:
    """The parser of every command, and the function that runs each command
    by every name it can be called."""
    main_parser = argparse.ArgumentParser(
        prog="grix", description="Exact tree edit distance between syntax trees, XML/HTML, JSON "
        "and bracket trees. An argument that is not a file and starts with '{' is bracket text.",
        epilog="Exit status: 0 on success, 1 on a bad input, 2 on a usage error, 130 on Ctrl-C.")
    main_parser.add_argument("--version", action="version", version=f"grix {__version__}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    runners = tree_commands.add_commands(commands)
    add_teds_command(commands)
    runners["teds"] = run_teds_command
    return main_parser, runners


def main(argv: Sequence[str] | None = None) -> int:
    main_parser, runners = parser()
    args = main_parser.parse_args(argv)
    tree_commands.check_usage(args, main_parser)
    try:
        runners[args.command](args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
    except BrokenPipeError:
        # Nobody reads the rest: point stdout at /dev/null so that the flush
        # at exit is silent too.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):  # a stand-in stdout without a file
            pass
        return 141
    except InputError as error:
        print(f"grix: {error}", file=sys.stderr)
        return 1
    except TimeoutError:
        limit = f" of {args.timeout:g} s" if args.timeout is not None else ""
        print(f"grix: gave up after the time-out{limit}", file=sys.stderr)
        return 1
    except (MemoryError, ValueError, OSError) as error:
        print(f"grix: {first_line(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("grix: interrupted", file=sys.stderr)
        return 130
    return 0
