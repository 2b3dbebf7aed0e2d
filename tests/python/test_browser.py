"""The exported pages in a real browser: no console errors, the search box filters, a folded result opens,
the index chart has one bar per day, and both colour schemes apply."""

from __future__ import annotations

import json
from collections.abc import Iterator
from pathlib import Path

import pytest

from browser import Browser, Page
from kestro_sdk import export

DATA = Path(__file__).resolve().parents[1] / "data"
EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "projects"
APP = "-home-dev-projects-app"


@pytest.fixture(scope="module")
def pages(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("pages")
    export.export(export.session_files([EXAMPLES]), out, "html")
    (out / "blocks.html").write_text(export.to_html(DATA / "export" / "every_block.jsonl"), encoding="utf-8")
    (out / "nested.html").write_text(export.to_html(DATA / "reader" / "layout_new" / "session.jsonl"))
    return out


@pytest.fixture(scope="module")
def browser(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Browser]:
    b = Browser(tmp_path_factory.mktemp("profile"))
    yield b
    b.close()


@pytest.fixture
def page(browser: Browser) -> Iterator[Page]:
    p = browser.page()
    yield p
    p.close()


def _settle(page: Page) -> None:
    page.eval("new Promise(r => setTimeout(r, 300))")


@pytest.mark.parametrize(
    "name",
    ["blocks.html", "nested.html", f"{APP}/ba449eb1-bba2-4cc1-b0fb-33a342cf9548.html", f"{APP}/index.html"],
    ids=["every-block", "sub-agents", "sample-session", "index"],
)
def test_pages_load_without_console_errors(pages: Path, page: Page, name: str) -> None:
    page.open(pages / name)
    assert page.errors() == []
    # The stylesheet applied: a policy that refused it would leave the header unstyled.
    assert page.eval("getComputedStyle(document.querySelector('header')).position") == "sticky"


def test_the_error_check_sees_a_refused_script(pages: Path, page: Page) -> None:
    # A script the policy does not name is refused, and the refusal is an error the tests see.
    bad = pages / "bad.html"
    bad.write_text((pages / "blocks.html").read_text().replace("</main>", "<script>window.ran = 1</script></main>"))
    page.open(bad)
    assert page.errors() and page.eval("window.ran === undefined")


@pytest.mark.parametrize(
    ("query", "expect_hits"),
    [("pytest", True), ("PYTEST", True), ("overloaded", True), ("no such words anywhere", False)],
    ids=["word", "any-case", "meta-line", "nothing"],
)
def test_the_search_box_filters_the_messages(pages: Path, page: Page, query: str, expect_hits: bool) -> None:
    page.open(pages / "blocks.html")
    total = page.eval("document.querySelectorAll('.msg').length")
    page.type("#q", query)
    _settle(page)
    state = page.eval(f"""(() => {{
        const q = {json.dumps(query.lower())};
        const msgs = [...document.querySelectorAll('.msg')];
        const shown = msgs.filter(m => !m.hidden), hidden = msgs.filter(m => m.hidden);
        return {{
            shown: shown.length,
            shownMatch: shown.every(m => m.textContent.toLowerCase().includes(q)),
            hiddenMiss: hidden.every(m => !m.textContent.toLowerCase().includes(q)),
            visible: shown.filter(m => m.checkVisibility()).length,
            count: document.getElementById('count').textContent,
        }};
    }})()""")
    assert state["shownMatch"] and state["hiddenMiss"]
    assert (state["shown"] > 0) is expect_hits and state["shown"] < total
    assert state["visible"] == state["shown"]  # shown messages are really on screen, hidden turns included
    assert state["count"] == f"{state['shown']} of {total} match"
    page.send("Input.dispatchKeyEvent", type="keyDown", key="Escape", code="Escape", windowsVirtualKeyCode=27)
    _settle(page)
    assert page.eval("document.querySelectorAll('.msg[hidden]').length") == 0


def test_a_folded_result_opens_when_clicked(pages: Path, page: Page) -> None:
    page.open(pages / "blocks.html")
    assert page.eval("document.querySelector('details.result:not([open]) pre').checkVisibility()") is False
    page.eval("document.querySelector('details.result:not([open])').id = 'folded'")
    page.click("#folded > summary")
    _settle(page)
    assert page.eval("document.getElementById('folded').open") is True
    assert page.eval("document.querySelector('#folded pre').checkVisibility()") is True


def _days_with_replies(project: Path) -> list[str]:
    days = set()
    for log in project.glob("*.jsonl"):
        for line in log.read_text().splitlines():
            obj = json.loads(line)
            if obj.get("type") == "assistant" and "usage" in obj.get("message", {}):
                days.add(obj["timestamp"][:10])
    return sorted(days)


@pytest.mark.parametrize("project", sorted(p.name for p in EXAMPLES.iterdir()))
def test_the_index_chart_has_one_bar_per_day(pages: Path, page: Page, project: str) -> None:
    page.open(pages / project / "index.html")
    bars = page.eval("""[...document.querySelectorAll('svg.chart rect.bar')].map(r => {
        const b = r.getBoundingClientRect(); return [r.dataset.day, b.width, b.height]; })""")
    assert [day for day, _, _ in bars] == _days_with_replies(EXAMPLES / project)
    assert all(w > 0 and h > 0 for _, w, h in bars)  # every day here has a cost
    rows = page.eval("document.querySelectorAll('table.sessions tbody tr').length")
    assert rows == len(list((EXAMPLES / project).glob("*.jsonl")))


def test_light_and_dark_follow_the_system_setting(pages: Path, page: Page) -> None:
    colours = {}
    for scheme in ("light", "dark"):
        page.send("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": scheme}])
        page.open(pages / "blocks.html")
        colours[scheme] = page.eval("getComputedStyle(document.body).backgroundColor")
    assert colours == {"light": "rgb(255, 255, 255)", "dark": "rgb(21, 24, 28)"}
