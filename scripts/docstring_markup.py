"""A Griffe extension for the documentation's API pages (mkdocs.yml loads it):
the docstrings use a few reStructuredText forms, which it turns into Markdown
as the pages are built. The sources are left as they are.

- a role such as :func:`pdist` or :class:`~grix.Tree` becomes `pdist`, `grix.Tree`;
- a run of doctest lines (>>> and ..., and their output) becomes a
  fenced pycon block;
- a paragraph ending in "::" ends in ":", the indented block after it
  being already a code block in Markdown.
"""

import re

import griffe

ROLE = re.compile(r":(?:func|class|meth|mod|attr|data|exc|obj|const):`[~.]*([^`]+)`")


def to_markdown(text: str) -> str:
    text = ROLE.sub(r"`\1`", text)
    out: list[str] = []
    in_doctest = False
    fence = False
    for line in text.split("\n"):
        stripped = line.strip()
        if stripped.startswith("```"):
            fence = not fence
        if not fence and not in_doctest and stripped.startswith(">>>"):
            indent = line[:len(line) - len(line.lstrip())]
            if out and out[-1].strip():
                out.append("")
            out.append(indent + "```pycon")
            in_doctest = True
        elif in_doctest and not stripped:
            out.append(indent + "```")
            in_doctest = False
        if not fence and not in_doctest and line.rstrip().endswith("::") and not stripped == "::":
            line = line.rstrip()[:-1]
        out.append(line)
    if in_doctest:
        out.append(indent + "```")
    return "\n".join(out)


class ReSTToMarkdown(griffe.Extension):
    def on_instance(self, *, obj: griffe.Object, **kwargs: object) -> None:
        if obj.docstring is not None:
            obj.docstring.value = to_markdown(obj.docstring.value)
