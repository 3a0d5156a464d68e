"""Keep the compiled modules' docstrings plain text under autodoc.

quillet's docstrings are written for ``help()``: plain text with "Argument:"
and "Return:" sections (which napoleon turns into fields), indented formulas
and ``>>>`` examples.  A few plain-text habits are markup to
reStructuredText and would break the page or the build: ``|x|`` (an absolute
value) reads as a substitution reference, and ``*name`` (as in
``Sequential(*layers)``) opens an emphasis that never closes.  This extension
escapes ``|`` and every ``*`` that would start inline markup, outside doctest
and literal blocks, in the docstrings of the modules listed in
``stubdoc_modules``, so the page shows the same characters ``help()`` does.
"""

import re

# An asterisk that reStructuredText could read as the start of emphasis or
# strong emphasis: at the start of a line or after whitespace or an opening
# bracket or quote, and followed by something other than whitespace.
_MARKUP_STAR = re.compile(r"""(?:^|(?<=[\s(\[{<'"]))(\*+)(?=[^\s*])""")


def _escape(line):
    line = line.replace("|", r"\|")
    return _MARKUP_STAR.sub(lambda m: "".join("\\*" for _ in m.group(1)), line)


def escape_plain_text(lines):
    """Escape markup characters in place, leaving doctest and literal blocks alone."""
    in_doctest = False
    literal_indent = None  # the indentation of the paragraph that ended in "::"
    for i, line in enumerate(lines):
        stripped = line.strip()
        indent = len(line) - len(line.lstrip())
        if literal_indent is not None:
            if not stripped or indent > literal_indent:
                continue
            literal_indent = None
        if stripped.startswith(">>>"):
            in_doctest = True
        elif not stripped:
            in_doctest = False
        if in_doctest:
            continue
        lines[i] = _escape(line)
        if stripped.endswith("::"):
            literal_indent = indent


def process_docstring(app, what, name, obj, options, lines):
    modules = app.config.stubdoc_modules
    if any(name == m or name.startswith(m + ".") for m in modules):
        escape_plain_text(lines)


def setup(app):
    # Before napoleon (priority 500) and stubdoc's additions, which are markup.
    app.connect("autodoc-process-docstring", process_docstring, priority=400)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
