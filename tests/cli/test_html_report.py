"""The HTML report: one self-contained page, every document string escaped, and (in a real headless
browser) a chart and a table that the page's script renders, sorts and filters."""

import html
import json
import os
import re
import shutil
import subprocess
import sys
from html.parser import HTMLParser

import pytest

from velkora.cli import html_report

HOSTILE = "</script><img src=x onerror=alert(1)>&amp;\"'<!--"


def function(path, line, name, pattern, speedup, par=0.5, **extra):
    return {"path": path, "line": line, "name": name, "pattern": pattern, "pattern_code": None,
            "cpu_intensity": 0.3, "memory_intensity": 0.1, "parallelization_potential": par,
            "gpu_suitability": 0.6, "gpu_speedup": speedup, **extra}


DOC = {
    "tool": "velkora", "version": "0.1.0", "schema_version": 1,
    "settings": {"gpu_available": True, "compute_capability": "8.6", "thresholds": {"cpu_threshold": 0.25}},
    "functions": [
        function("pkg/a.py", 10, "fit", "SKLEARN_TRAINING", 3.0),
        function("pkg/a.py", 9, "Model.predict", "SKLEARN_INFERENCE", None),
        function("pkg/b.py", 2, "kernel", "GPU_SUITABLE", 12.5),
        function("nb.ipynb", "cell 3:2", "smooth", "GPU_SUITABLE", 4.0),
        function(f"odd/{HOSTILE}.py", 1, HOSTILE, "GPU_SUITABLE", 1.5),
        function("pkg/c.py", 100, "loop", "SEQUENTIAL", 1.0, par=0.0),
    ],
    "summary": {"by_pattern": {"GPU_SUITABLE": 3, "SKLEARN_TRAINING": 1, "SKLEARN_INFERENCE": 1,
                               "SEQUENTIAL": 1}},
    "skipped": [{"path": f"bad{HOSTILE}.py", "reason": f"syntax error: {HOSTILE}"}],
}


# ---- the page as text --------------------------------------------------------------------------------

class Tags(HTMLParser):
    def __init__(self, text):
        super().__init__()
        self.tags, self.attributes = set(), set()
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.attributes.update(name for name, _ in attrs)


def test_the_page_references_nothing_outside_itself():
    page = html_report.render(DOC)
    tags = Tags(page)
    assert not tags.tags & {"link", "img", "iframe", "object", "embed", "base", "a", "image", "use"}
    assert not tags.attributes & {"src", "href", "xlink:href", "srcset", "action", "background"}
    text = page.replace(html.escape(HOSTILE), "")
    for pattern in (r"https?:", r"//[\w.-]+\.\w", r"@import", r"url\(", r"\bfetch\(", r"XMLHttpRequest",
                    r"\bimport\("):
        assert not re.search(pattern, text), pattern


def test_hostile_strings_are_escaped_and_the_data_round_trips():
    doc = dict(DOC, version=HOSTILE, settings={HOSTILE: HOSTILE})
    page = html_report.render(doc)
    assert "<img" not in page and "<!--" not in page
    assert page.count("<script") == 2 and page.count("</script>") == 2
    embedded = re.search(r'<script type="application/json" id="velkora-data">(.*?)</script>', page, re.S)
    assert json.loads(embedded.group(1)) == html_report.page_data(doc)
    # The static parts show the strings as text.
    assert "&lt;img src=x onerror=alert(1)&gt;&amp;amp;&quot;&#x27;&lt;!--" in page


def test_each_rows_reasons_and_advice_reach_the_page():
    doc = dict(DOC, functions=[function("pkg/a.py", 1, "fit", "CPU_INTENSIVE", 1.0,
                                        reasons=["loop over <items>", "float arithmetic"],
                                        advice="compile it (velkora.jit.adaptive)"),
                               function("pkg/b.py", 2, "old", "SEQUENTIAL", 1.0)])
    data = html_report.page_data(doc)
    assert data["why"] == [["compile it (velkora.jit.adaptive)", "loop over <items>; float arithmetic"], ["", ""]]
    assert len(data["why"]) == len(data["rows"])
    page = html_report.render(doc)
    assert "loop over \\u003citems\\u003e; float arithmetic" in page and "<items>" not in page
    assert 'why' in html_report._asset("js") and '"GPU class"' in json.dumps(data["columns"])


@pytest.mark.parametrize("entry, row", [
    # Earlier documents: `file` and `function`, a pattern code only, a speedup that is not a number.
    ({"file": "x.py", "line": 3, "function": "f", "pattern_code": 5, "gpu_speedup": float("nan")},
     ["x.py:3", "f", "GPU_SUITABLE", None, None, None, None, None]),
    ({"path": "n.ipynb", "line": "n.ipynb:cell 2:1", "qualname": "C.m", "pattern": "MIXED", "cpu_intensity": 1},
     ["n.ipynb:cell 2:1", "C.m", "MIXED", 1.0, None, None, None, None]),
    ({"path": "tab\there\udcff.py", "line": True, "pattern_code": 99, "gpu_speedup": "fast"},
     ["tab\\there\\udcff.py", "?", "UNKNOWN", None, None, None, None, None]),
], ids=["old-keys", "notebook-location", "odd-values"])
def test_functions_are_read_tolerantly(entry, row):
    data = html_report.page_data({"functions": [entry, "not a function", None]})
    assert data["rows"] == [row]
    assert data["patterns"] == [[row[2], 1]]


def test_counts_and_top_candidates_are_computed_when_the_summary_lacks_them():
    functions = [function("a.py", i, f"g{i}", "GPU_SUITABLE", float(i)) for i in range(1, 8)]
    functions += [function("b.py", 1, "p", "PARALLEL_FRIENDLY", None, par=0.9),
                  function("b.py", 2, "q", "PARALLEL_FRIENDLY", 9.0, par=0.2),
                  function("c.py", 1, "empty", "NO_CODE", None)]
    data = html_report.page_data({"functions": functions})
    assert data["patterns"] == [["GPU_SUITABLE", 7], ["PARALLEL_FRIENDLY", 2], ["NO_CODE", 1]]
    top = dict(data["top"])
    assert [r[1] for r in top["GPU_SUITABLE"]] == ["g7", "g6", "g5", "g4", "g3"]
    assert [r[1] for r in top["PARALLEL_FRIENDLY"]] == ["p", "q"]      # by parallel potential
    assert "NO_CODE" not in top


@pytest.mark.parametrize("given", [
    [{"path": "b.py", "line": 2, "name": "q", "pattern": "PARALLEL_FRIENDLY"}],
    [1],
    {"PARALLEL_FRIENDLY": [{"path": "b.py", "line": 2, "name": "q", "pattern": "PARALLEL_FRIENDLY"}]},
], ids=["entries", "indexes", "by-pattern"])
def test_the_documents_own_top_candidates_win(given):
    functions = [function("b.py", 1, "p", "PARALLEL_FRIENDLY", None, par=0.9),
                 function("b.py", 2, "q", "PARALLEL_FRIENDLY", None, par=0.2)]
    top = html_report.page_data({"functions": functions, "summary": {"top_candidates": given}})["top"]
    assert [(p, [r[1] for r in rows]) for p, rows in top] == [("PARALLEL_FRIENDLY", ["q"])]


@pytest.mark.parametrize("doc", [{}, {"functions": None, "summary": [], "skipped": "x", "settings": 3}])
def test_an_empty_or_odd_document_still_gives_a_page(doc):
    page = html_report.render(doc)
    assert "No functions analysed" in page


def test_write_makes_a_utf8_file(tmp_path):
    doc = dict(DOC, functions=[function("caf\u00e9/\udcff.py", 1, "\u00fcber", "MIXED", 1.0)])
    target = tmp_path / "report.html"
    html_report.write(target, doc)
    page = target.read_text(encoding="utf-8")
    assert "caf\u00e9/\\\\udcff.py" in page and "\u00fcber" in page


# ---- the page in a browser ---------------------------------------------------------------------------

BROWSERS = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    """dump(page_path, fragment) -> the DOM after the page's script ran, from a headless Chromium."""
    exe = next((path for path in map(shutil.which, BROWSERS) if path), None)
    if exe is None:
        pytest.skip(f"no headless browser on PATH (looked for {', '.join(BROWSERS)}); "
                    "install Debian's chromium (apt-get install chromium) to run the browser tests")
    profile = tmp_path_factory.mktemp("browser-profile")
    # The sanitizer run preloads its runtime into the interpreter; the browser must not inherit it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.startswith(("ASAN_", "UBSAN_"))}

    def dump(page, fragment=""):
        proc = subprocess.run(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", f"--user-data-dir={profile}",
             # Nothing may be fetched: every name resolves to nowhere.
             "--host-resolver-rules=MAP * ~NOTFOUND", "--window-size=1280,900",
             "--virtual-time-budget=2000", "--dump-dom", page.as_uri() + fragment],
            capture_output=True, text=True, timeout=120, env=env)
        assert proc.returncode == 0 and "</html>" in proc.stdout, proc.stderr[-3000:]
        return Dom(proc.stdout)

    return dump


class Dom(HTMLParser):
    """The rendered table rows (cell texts), the chart's bars and the headers' sort state."""

    def __init__(self, text):
        super().__init__()
        self.text, self.rows, self.bars, self.sorted_by = text, [], [], {}
        self._in_rows, self._cell, self._pattern = False, None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tbody" and attrs.get("id") == "rows":
            self._in_rows = True
        elif tag == "tr" and self._in_rows:
            self.rows.append([])
        elif tag == "td" and self._in_rows:
            self._cell = []
        elif tag == "g" and "data-pattern" in attrs:
            self._pattern = attrs["data-pattern"]
        elif tag == "rect" and "bar" in attrs.get("class", "").split():
            self.bars.append((self._pattern, int(attrs["data-count"]), float(attrs["width"])))
        elif tag == "th" and "aria-sort" in attrs:
            self.sorted_by[attrs["data-key"]] = attrs["aria-sort"]

    def handle_endtag(self, tag):
        if tag == "tbody":
            self._in_rows = False
        elif tag == "td" and self._cell is not None:
            self.rows[-1].append("".join(self._cell))
            self._cell = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)

    def column(self, index):
        return [row[index] for row in self.rows]


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "report.html"
    html_report.write(path, DOC)
    return path


def test_the_script_renders_table_and_chart(browser, page):
    dom = browser(page)
    names = [f["name"] for f in DOC["functions"]]
    assert dom.column(1) == names                     # the document's order, every function
    assert dom.rows[2] == ["pkg/b.py:2", "kernel", "GPU_SUITABLE", "0.30", "0.10", "0.50", "0.60", "12.5\u00d7"]
    assert dom.rows[1][-1] == "\u2013"                # no speedup
    assert dom.rows[3][0] == "nb.ipynb:cell 3:2"
    assert [(p, n) for p, n, _ in dom.bars] == [("GPU_SUITABLE", 3), ("SKLEARN_TRAINING", 1),
                                                ("SKLEARN_INFERENCE", 1), ("SEQUENTIAL", 1)]
    widths = [w for _, _, w in dom.bars]
    assert widths[0] == pytest.approx(3 * widths[1], rel=0.02) and widths[1] == widths[3]
    # The hostile name is text in its cell, not markup.
    assert dom.rows[4][1] == HOSTILE and "<img" not in dom.text and dom.text.count("<script") == 2


@pytest.mark.parametrize("fragment, column, expected", [
    ("#sort=gpu_speedup:desc", 1, ["kernel", "smooth", "fit", HOSTILE, "loop", "Model.predict"]),
    # A missing value stays last whichever the direction.
    ("#sort=gpu_speedup:asc", 1, ["loop", HOSTILE, "fit", "smooth", "kernel", "Model.predict"]),
    # Locations sort as a person reads them: line 9 before line 10.
    ("#sort=location:asc", 0, ["nb.ipynb:cell 3:2", f"odd/{HOSTILE}.py:1", "pkg/a.py:9", "pkg/a.py:10",
                               "pkg/b.py:2", "pkg/c.py:100"]),
    ("#pattern=GPU_SUITABLE&sort=name:asc", 1, [HOSTILE, "kernel", "smooth"]),
    ("#q=PKG%2FA&sort=name:desc", 1, ["Model.predict", "fit"]),
], ids=["speedup-desc", "speedup-asc", "location", "pattern", "text"])
def test_sorting_and_filtering_from_the_fragment(browser, page, fragment, column, expected):
    dom = browser(page, fragment)
    assert dom.column(column) == expected
    key = re.search(r"sort=(\w+):(\w+)", fragment)
    assert dom.sorted_by == {key[1]: key[2] + "ending"}


@pytest.mark.parametrize("clicks, expected", [(1, "descending"), (2, "ascending")])
def test_clicking_a_header_sorts(browser, tmp_path, clicks, expected):
    path = tmp_path / "clicked.html"
    click = "document.querySelector('th[data-key=gpu_speedup]').click();" * clicks
    path.write_text(html_report.render(DOC).replace("</body>", f"<script>{click}</script></body>"))
    dom = browser(path)
    assert dom.sorted_by == {"gpu_speedup": expected}
    speedups = [float(s[:-1]) for s in dom.column(7) if s != "\u2013"]
    assert speedups == sorted(speedups, reverse=expected == "descending")
    assert dom.column(7)[-1] == "\u2013"


def test_the_same_document_gives_the_same_page_whatever_the_hash_seed(tmp_path):
    # Set iteration order changes with PYTHONHASHSEED; nothing of the page may follow it.
    (tmp_path / "doc.json").write_text(json.dumps(DOC))
    code = ("import json, sys\nfrom velkora.cli import html_report\n"
            f"sys.stdout.write(html_report.render(json.load(open({str(tmp_path / 'doc.json')!r}))))")
    pages = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                            env={**os.environ, "PYTHONHASHSEED": seed}).stdout for seed in ("1", "2", "3")}
    assert len(pages) == 1


def test_the_page_groups_the_best_of_every_pattern_and_counts_files_as_the_summary_does():
    functions = [function("a.py", 1, "g", "GPU_SUITABLE", 4.0), function("b.py", 1, "p", "PARALLEL_FRIENDLY", None)]
    summary = {"files": 7, "top_candidates": [functions[0]],
               "top_by_pattern": {"GPU_SUITABLE": [functions[0]],
                                  "PARALLEL_FRIENDLY": [{**functions[1], "advice": "map them <now>"}]}}
    data = html_report.page_data({"functions": functions, "summary": summary})
    assert [p for p, _ in data["top"]] == ["GPU_SUITABLE", "PARALLEL_FRIENDLY"]
    page = html_report.render({"functions": functions, "summary": summary})
    assert "<b>7</b><span>files</span>" in page and "map them &lt;now&gt;" in page
