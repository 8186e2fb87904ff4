"""The result in a notebook: _repr_html_ shows the table, the pairs and the
test of dispersion, with pandas' to_html or, without pandas, a plain table of
the same cells; every name escaped."""

import math
import subprocess
import sys
from html.parser import HTMLParser

import morvenak

Y = [[1., 2, 0], [2, 1, 1], [5, 5, 2], [6, 4, 3], [3, 9, 1], [2, 8, 0], [1, 1, 4]]
GROUPS = ["a<b", "a<b", "c&d", "c&d", "e", "e", "e"]
CALL = "morvenak.analyse(Y, GROUPS, permutations=19, pairwise=['main'], dispersion='main')"


class Page(HTMLParser):
    """Each table's rows of cell texts (the header first) and each paragraph's
    text, as a browser reads them (character references resolved)."""

    def __init__(self, text: str) -> None:
        super().__init__()
        self.tables, self.paragraphs = [], []
        self._cell = self._paragraph = None
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.tables[-1].append([])
        elif tag in ("td", "th"):
            self._cell = ""
        elif tag == "p":
            self._paragraph = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.tables[-1][-1].append(self._cell)
            self._cell = None
        elif tag == "p":
            self.paragraphs.append(self._paragraph)
            self._paragraph = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data
        elif self._paragraph is not None:
            self._paragraph += data


def test_the_notebook_html_holds_the_table_the_pairs_and_the_dispersion_escaped():
    r = eval(CALL)
    text = r._repr_html_()
    page = Page(text)
    table, pairs = page.tables
    header, rows = table[0], table[1:]
    assert header == list(r.table.columns)
    assert [(row[0], row[1]) for row in rows] == list(zip(r.table["source"], r.table["factor"]))
    # Each P as the table has it, to the 6 significant digits shown; empty where the table's is NaN.
    for row, p in zip(rows, r.table["P"]):
        cell = row[header.index("P")]
        assert cell == "" if math.isnan(p) else abs(float(cell) - p) <= 5e-6 * p
    # The level names, escaped in the HTML, read back as they are.
    assert [(row[2], row[3]) for row in pairs[1:]] == list(zip(r.pairwise["main"]["level_a"],
                                                               r.pairwise["main"]["level_b"]))
    assert "a<b" not in text and "c&d" not in text and "a&lt;b" in text and "c&amp;d" in text
    assert repr(r.dispersion)[1:-1] in page.paragraphs
    # Without pandas: a plain table of the same cells, the same lines.
    code = (f"import sys; sys.modules['pandas'] = None\nimport morvenak\nY = {Y!r}\nGROUPS = {GROUPS!r}\n"
            f"print({CALL}._repr_html_())")
    plain = Page(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
    assert (plain.tables, plain.paragraphs) == (page.tables, page.paragraphs)
