"""The named definitions of TEDS: each benchmark's code, reproduced exactly,
one module per benchmark holding its rules object and any rewriting of text
it applies (see ``grix.teds`` for what each one does)."""

from __future__ import annotations

from typing import Literal

from .docling_eval import DOCLING_EVAL
from .docling_metrics import DOCLING_METRICS
from .omnidocbench import OMNIDOCBENCH
from .parsebench import PARSEBENCH, PARSEBENCH_STRUCT_BOOL
from .pubtabnet import PUBTABNET
from .rules import DEFAULT_RULES, Rules

__all__ = ["DEFAULT_RULES", "DEFINITIONS", "Definition", "Rules"]

Definition = Literal["pubtabnet", "docling-eval", "docling-metrics", "omnidocbench", "parsebench",
                     "parsebench-struct-bool"]

#: The named definitions: each benchmark's code, reproduced (see teds()).
DEFINITIONS: dict[str, Rules] = {
    "pubtabnet": PUBTABNET,
    "docling-eval": DOCLING_EVAL,
    "docling-metrics": DOCLING_METRICS,
    "omnidocbench": OMNIDOCBENCH,
    "parsebench": PARSEBENCH,
    "parsebench-struct-bool": PARSEBENCH_STRUCT_BOOL,
}
