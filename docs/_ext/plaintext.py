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

An "Attributes:" entry may name several attributes at once ("dLdW, dLdb:
their gradients", "W (ones) and b (zeros), (num_features,): ...").  Napoleon
makes each entry a ``:ivar NAME:`` field, and Sphinx reads a field name with a
space in it as "type name": "dLdW, dLdb" was shown as "dLdb (dLdW,)".  Such
names (with the type napoleon split off, put back in parentheses) get their
spaces replaced by a placeholder that Sphinx does not split on, and the
placeholder becomes a space again once the page is parsed, so the entry reads
as written.
"""

import re

from docutils import nodes
from sphinx import addnodes

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


# A space inside a field name, until the page is parsed (a private-use character).
SPACE = "\ue000"
_VAR_FIELD = re.compile(r"^(\s*):(ivar|var|cvar|vartype) (.+?):(\s.*|)$")


def join_grouped_names(lines):
    """Keep the names of napoleon's ``:ivar a, b:`` fields together, in place."""
    fields = {}  # (indent, name) -> [index of :ivar line, index of :vartype line]
    for i, line in enumerate(lines):
        m = _VAR_FIELD.match(line)
        if m and " " in m.group(3):
            fields.setdefault((m.group(1), m.group(3)), [None, None])[m.group(2) == "vartype"] = i
    drop = []
    for (indent, name), (var, vartype) in fields.items():
        if var is None:
            continue
        label = name
        if vartype is not None:
            label += f" ({_VAR_FIELD.match(lines[vartype]).group(4).strip()})"
            drop.append(vartype)
        m = _VAR_FIELD.match(lines[var])
        lines[var] = f"{indent}:{m.group(2)} {label.replace(' ', SPACE)}:{m.group(4)}"
    for i in sorted(drop, reverse=True):
        del lines[i]


def process_docstring(app, what, name, obj, options, lines):
    modules = app.config.stubdoc_modules
    if any(name == m or name.startswith(m + ".") for m in modules):
        escape_plain_text(lines)


def process_fields(app, what, name, obj, options, lines):
    modules = app.config.stubdoc_modules
    if any(name == m or name.startswith(m + ".") for m in modules):
        join_grouped_names(lines)


def restore_spaces(app, doctree):
    """Turn the placeholders of join_grouped_names back into spaces."""
    for node in list(doctree.findall(nodes.Text)):
        if SPACE in node:
            node.parent.replace(node, nodes.Text(node.replace(SPACE, " ")))
    for ref in doctree.findall(addnodes.pending_xref):
        target = ref.get("reftarget", "")
        if SPACE in target:
            ref["reftarget"] = target.replace(SPACE, " ").strip()


def setup(app):
    # Before napoleon (priority 500) and stubdoc's additions, which are markup.
    app.connect("autodoc-process-docstring", process_docstring, priority=400)
    # After napoleon, on the fields it wrote.
    app.connect("autodoc-process-docstring", process_fields, priority=600)
    app.connect("doctree-read", restore_spaces)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
