"""The type stubs (`ondrel_ec-stubs`) against the built module, and the
command-line package type-checked with them."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "ondrel_cli"


def mypy(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


def test_stubs_match_the_module(tmp_path: Path) -> None:
    done = mypy("mypy.stubtest", "ondrel_ec", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_code_type_checks_against_the_stubs(tmp_path: Path) -> None:
    # The command-line package passes --strict, and the stubs give calls
    # real types: wrong arguments are errors and results are not Any.
    snippet = tmp_path / "use_stubs.py"
    snippet.write_text(textwrap.dedent("""
        import ondrel_ec
        reveal_type(ondrel_ec.multi_encode_py([b"a"], 2, 1))
        reveal_type(ondrel_ec.decode_py([(memoryview(b"ab"), 0)], 1, 1))
        ondrel_ec.encode_py(b"x", "2", 1)
    """))
    done = mypy("mypy", "--strict", "--no-incremental", PACKAGE, snippet, cwd=tmp_path)
    lines = [line.split(": ", 1)[1].replace("builtins.", "") for line in done.stdout.splitlines()
             if Path(line.split(":", 1)[0]).name == snippet.name]
    assert lines == [
        'note: Revealed type is "list[list[bytes]]"',
        'note: Revealed type is "bytes"',
        'error: Argument 2 to "encode_py" has incompatible type "str"; expected "SupportsIndex"  [arg-type]',
    ], done.stdout
    assert "Found 1 error in 1 file" in done.stdout
