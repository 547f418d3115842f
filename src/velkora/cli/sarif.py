"""`velkora analyze --format sarif`: the result document as SARIF 2.1.0, for code-scanning tools.

One result per function shown that has something to gain (a benefit above 0) or that trips the CI gate
(`--fail-on`, `--min-score`); one rule per pattern among them. A function that trips the gate is a
`warning`, any other a `note`. Locations are paths relative to the current directory, as URIs; a notebook's
units carry their cell in the message and in `properties`, since SARIF regions count lines of a file.
"""

from __future__ import annotations

import json
import os
from typing import Any
from urllib.parse import quote

from velkora import __version__
from velkora.analysis.patterns import display

SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
INFORMATION_URI = "https://pypi.org/project/velkora/"


def _uri(path: str) -> str:
    """A path as a SARIF artifact URI: relative ones as relative references, absolute ones as file URIs."""
    text = path.replace(os.sep, "/")
    return "file://" + quote(text) if text.startswith("/") else quote(text)


def render(doc: dict[str, Any]) -> str:
    """The SARIF log of `doc` (a document of velkora.cli.report), as JSON text. Costs one pass over the rows."""
    gate = set(doc["summary"].get("gate", ()))
    rows = [r for r in doc["functions"] if r["benefit"] > 0 or r["location"] in gate]
    rules = sorted({r["pattern"] for r in rows})
    results = []
    for r in rows:
        where = f" (cell {r['cell']})" if r["cell"] is not None else ""
        text = f"{r['name']}{where}: {display(r['pattern'])}, score {r['score']:.2f}"
        if r.get("advice"):
            text += f". {r['advice']}"
        results.append({
            "ruleId": r["pattern"], "ruleIndex": rules.index(r["pattern"]),
            "level": "warning" if r["location"] in gate else "note",
            "message": {"text": text},
            "locations": [{"physicalLocation": {"artifactLocation": {"uri": _uri(r["path"])},
                                                "region": {"startLine": max(1, int(r["line"]))}}}],
            "properties": {"score": r["score"], "benefit": r["benefit"], "gpu_speedup": r["gpu_speedup"],
                           "cell": r["cell"], "reasons": r["reasons"]},
        })
    log = {
        "$schema": SCHEMA, "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {
                "name": "velkora", "version": __version__, "informationUri": INFORMATION_URI,
                "rules": [{"id": p, "name": p.title().replace("_", ""),
                           "shortDescription": {"text": f"workload pattern {display(p)}"}} for p in rules],
            }},
            "columnKind": "unicodeCodePoints",
            "results": results,
        }],
    }
    return json.dumps(log, indent=2) + "\n"
