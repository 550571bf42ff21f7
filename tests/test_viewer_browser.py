"""molvane view in a real browser: Debian's chromium, headless, driven by selenium.

Skipped where chromium, chromedriver or selenium is missing, except in CI
(CI set), where their absence fails the run. The screenshot test compares
with tests/data/viewer-screenshot.png loosely (greyscale, downscaled, mean
difference); MOLVANE_UPDATE_SCREENSHOT=1 rewrites the stored picture.
"""

import os
import shutil

import pytest
from conftest import DATA

from molvane import SDFile
from molvane.cli.expr import compile_expression
from molvane.viewer import open_viewer

pytestmark = pytest.mark.browser

SDF = DATA / "viewer.sdf"
SCREENSHOT = DATA / "viewer-screenshot.png"
WINDOW = (1280, 900)


def _missing():
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (pip install 'molvane[test]')"
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        return "chromium is not installed (apt-get install chromium chromium-driver)"
    if not shutil.which("chromedriver"):
        return "chromedriver is not installed (apt-get install chromium-driver)"
    return None


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    missing = _missing()
    if missing:
        if os.environ.get("CI"):
            pytest.fail(f"browser tests cannot run in CI: {missing}")
        pytest.skip(missing)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    downloads = tmp_path_factory.mktemp("downloads")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser")
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--hide-scrollbars",
        "--force-device-scale-factor=1",
        f"--window-size={WINDOW[0]},{WINDOW[1]}",
    ):
        options.add_argument(argument)
    options.add_experimental_option(
        "prefs",
        {"download.default_directory": str(downloads), "download.prompt_for_download": False},
    )
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    driver.downloads = downloads
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def server():
    served = open_viewer([str(SDF)])
    served.start()
    yield served
    served.close()


@pytest.fixture
def page(browser, server):
    browser.get(server.url)
    wait(browser, lambda d: status_done(d) and len(numbers(d)) == 24)
    return browser


def wait(driver, condition, timeout=30):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout).until(condition)


def cells(driver):
    from selenium.webdriver.common.by import By

    return driver.find_elements(By.CSS_SELECTOR, "#blocks .cell")


def numbers(driver):
    # Read in one script: a poll may redraw the grid between two selenium calls.
    return driver.execute_script(
        "return [...document.querySelectorAll('#blocks .cell, #blocks tbody tr')].map((e) => Number(e.dataset.n))"
    )


def status_done(driver):
    return driver.find_element("id", "status").get_attribute("data-complete") == "true"


def submit(driver, field, text):
    box = driver.find_element("id", field)
    box.clear()
    box.send_keys(text)
    box.submit()


BLOCKS = list(SDFile(os.fsencode(SDF)))


def test_the_page_loads_with_a_drawing_per_block_and_pages(page):
    assert numbers(page) == list(range(24))
    assert page.find_element("id", "range").text == f"1–24 of {len(BLOCKS)}"
    first = cells(page)[0]
    assert BLOCKS[0].title.decode() in first.text
    page.find_element("id", "next").click()
    wait(page, lambda d: numbers(d) == list(range(24, min(48, len(BLOCKS)))))
    page.find_element("id", "last").click()
    wait(page, lambda d: numbers(d) and numbers(d)[-1] == len(BLOCKS) - 1)
    submit(page, "jump", "5")
    wait(page, lambda d: numbers(d) == list(range(24)))


def test_the_filter_box_shows_what_the_cli_filter_keeps(page):
    expression = "MW < 200"
    keep = compile_expression(expression)
    expected = [i for i, block in enumerate(BLOCKS) if keep(block)][:24]
    assert expected  # the data must make the filter choose
    submit(page, "filter", expression)
    wait(page, lambda d: status_done(d) and numbers(d) == expected)


def test_sort_by_a_field_orders_the_grid(page):
    pytest.importorskip("pyarrow")
    page.find_element("id", "desc").click()
    submit(page, "sort", "MW")
    expected = sorted(range(len(BLOCKS)), key=lambda i: -float(BLOCKS[i].get(b"MW")))[:24]
    wait(page, lambda d: status_done(d) and numbers(d) == expected)


def test_the_selection_exports_as_the_selected_blocks_byte_for_byte(page):
    from selenium.webdriver.common.by import By

    picked = [1, 4, 9]
    for number in picked:
        page.find_element(By.CSS_SELECTOR, f'.cell[data-n="{number}"] input.pick').click()
    assert page.find_element("id", "selected").text == "3 selected"
    page.find_element("id", "export").click()
    target = page.downloads / "viewer-selection.sdf"
    wait(page, lambda d: target.exists() and not list(page.downloads.glob("*.crdownload")))
    assert target.read_bytes() == b"".join(bytes(BLOCKS[i]) for i in picked)


def test_table_view_and_detail_show_every_record_and_the_raw_text(page):
    from selenium.webdriver.common.by import By

    page.find_element("id", "table-mode").click()
    header = [th.text for th in page.find_elements(By.CSS_SELECTOR, "table.blocks th")]
    assert header[:3] == ["", "#", "title"] and "MW" in header
    page.find_elements(By.CSS_SELECTOR, "td.number")[2].click()
    wait(page, lambda d: d.find_element("id", "detail").get_attribute("open") is not None)
    raw = page.find_element("id", "detail-raw").get_attribute("textContent")
    assert raw == bytes(BLOCKS[2]).decode()
    records = page.find_element("id", "detail-records").text
    assert all(name.decode() in records for name, _ in BLOCKS[2].records())


def test_the_grid_looks_as_it_did(page):
    from PIL import Image, ImageChops, ImageStat

    # Every drawing decoded before the picture, however loaded the machine.
    wait(
        page,
        lambda d: d.execute_script(
            "const images = Array.from(document.querySelectorAll('.cell img'));"
            "return images.length > 0 && images.every(i => i.complete && i.naturalWidth > 0);"
        ),
    )
    shot = Image.open(_png(page)).convert("L")
    if os.environ.get("MOLVANE_UPDATE_SCREENSHOT"):
        shot.save(SCREENSHOT)
    stored = Image.open(SCREENSHOT).convert("L")
    small = (WINDOW[0] // 8, WINDOW[1] // 8)
    difference = ImageChops.difference(shot.resize(small), stored.resize(small))
    # Font hinting and antialiasing move a fraction of a level; the grid
    # without its drawings is 3.5 levels away.
    mean = ImageStat.Stat(difference).mean[0]
    assert mean < 1.5, f"the page differs from the stored screenshot by {mean:.2f} levels"


def _png(driver):
    import io

    return io.BytesIO(driver.get_screenshot_as_png())
