"""The module's surface: attributes, function metadata and import rules."""

import subprocess
import sys
import textwrap

import pytest

import ondrel_ec

FUNCTIONS = [
    ("encode_py", "(data, orig, rec)"),
    ("decode_py", "(shards, orig, rec)"),
    ("multi_encode_py", "(segments, orig, rec)"),
]


def run_python(code):
    """Runs `code` in a fresh interpreter and returns its standard output."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_all_lists_the_three_functions_in_order():
    assert type(ondrel_ec.__all__) is list
    assert ondrel_ec.__all__ == [name for name, _ in FUNCTIONS]
    assert ondrel_ec.__doc__ == ""


@pytest.mark.parametrize("name, text_signature", FUNCTIONS)
def test_function_metadata(name, text_signature):
    function = getattr(ondrel_ec, name)
    assert function.__name__ == name
    assert function.__text_signature__ == text_signature
    assert function.__doc__ is None
    assert function.__module__ == "ondrel_ec"
    assert function.__self__ is ondrel_ec


def test_internal_failure_class_is_not_a_module_attribute():
    assert not hasattr(ondrel_ec, "InternalFailure")
    assert not hasattr(ondrel_ec, "native_runtime")


def test_reinitialising_returns_the_same_module():
    out = run_python("""
        import sys, ondrel_ec
        first = ondrel_ec
        del sys.modules["ondrel_ec"]
        import ondrel_ec
        print(first is ondrel_ec, ondrel_ec.__all__)
    """)
    assert out.split("\n")[0] == "True ['encode_py', 'decode_py', 'multi_encode_py']"


def test_second_interpreter_cannot_import():
    # A legacy (non-isolated) subinterpreter reaches the module's own check.
    out = run_python("""
        import ondrel_ec, _xxsubinterpreters as interpreters
        other = interpreters.create(isolated=False)
        try:
            interpreters.run_string(other, "import ondrel_ec")
        except interpreters.RunFailedError as failure:
            print(failure)
        print(ondrel_ec.encode_py(b"ab", 1, 1))
    """)
    failure, still_usable = out.strip().split("\n")
    assert failure.startswith("<class 'ImportError'>:") and "subinterpreters" in failure
    assert still_usable == "[b'ab', b'ab']"
