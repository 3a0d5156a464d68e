"""tools/check_capi.py finds private and deprecated CPython calls, and only those."""

import check_capi
import pytest

GUARD_OLD = "#if PY_VERSION_HEX < 0x030C0000\n{}\n#endif\n"
GUARD_NEW_ELSE = "#if PY_VERSION_HEX >= 0x030C0000\nPyErr_GetRaisedException();\n#else\n{}\n#endif\n"


@pytest.mark.parametrize(
    "source, lines",
    [
        ('extern "C" void _PyTraceback_Add(const char*, const char*, int);', [1]),
        ("f = _PyType_Lookup(type, name);", [1]),
        ("_Py_IDENTIFIER(x);", [1]),
        ('dlsym(RTLD_DEFAULT, "_PyTraceback_Add");', [1]),  # looked up by name: still a dependency
        ("int a;\nPyErr_Fetch(&t, &v, &b);", [2]),
        ("PyErr_Restore(t, v, b);", [1]),
        ("PyErr_NormalizeException(&t, &v, &b);", [1]),
        # guarded the wrong way round, or for a later version, or compound
        ("#if PY_VERSION_HEX >= 0x030C0000\nPyErr_Fetch(&t, &v, &b);\n#endif", [2]),
        ("#if PY_VERSION_HEX < 0x030D0000\nPyErr_Fetch(&t, &v, &b);\n#endif", [2]),
        ("#if PY_VERSION_HEX < 0x030C0000 || X\nPyErr_Fetch(&t, &v, &b);\n#endif", [2]),
        ("#if PY_VERSION_HEX < 0x030C0000\n#endif\nPyErr_Fetch(&t, &v, &b);", [3]),
        # private names are refused whatever the guard
        (GUARD_OLD.format("_PyErr_Fetch(ts, &t);"), [2]),
    ],
)
def test_reports(source, lines):
    assert [n for n, _ in check_capi.findings("x.cpp", source)] == lines


@pytest.mark.parametrize(
    "source",
    [
        GUARD_OLD.format("PyErr_Fetch(&t, &v, &b);\nPyErr_Restore(t, v, b);"),
        GUARD_OLD.replace("0x030C0000", "0x030B0000").format("PyErr_Fetch(&t, &v, &b);"),
        GUARD_NEW_ELSE.format("PyErr_Fetch(&t, &v, &b);"),
        "#ifdef X\n" + GUARD_OLD.format("PyErr_Restore(t, v, b);") + "#endif",
        "// PyErr_Fetch and _PyType_Lookup were used here once\nint a;",
        "/* PyErr_Fetch(&t, &v, &b);\n   _PyTraceback_Add */ int a;",
        "Py_INCREF(o); my_PyErr_Fetcher(); PyErr_GetRaisedException(); x_PyFoo();",
        'const char* s = "// not a comment"; int a;',
    ],
)
def test_accepts(source):
    assert check_capi.findings("x.cpp", source) == []


def test_comment_removal_keeps_line_numbers():
    source = "/* one\ntwo */\n// three\nPyErr_Fetch(&t, &v, &b);"
    assert [n for n, _ in check_capi.findings("x.cpp", source)] == [4]


def test_the_tree_passes():
    assert check_capi.main([]) == 0
