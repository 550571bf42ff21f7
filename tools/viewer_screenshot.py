"""Take the screenshot of `molvane view` shown in the docs (docs/img/viewer.png).

Runs the viewer on tests/data/viewer.sdf and photographs its first page in
Debian's headless chromium (apt-get install chromium chromium-driver;
pip install selenium):

    python tools/viewer_screenshot.py
"""

from __future__ import annotations

import pathlib
import shutil
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

from molvane.viewer import open_viewer

REPO = pathlib.Path(__file__).resolve().parent.parent
SOURCE = REPO / "tests" / "data" / "viewer.sdf"
TARGET = REPO / "docs" / "img" / "viewer.png"


def main() -> None:
    server = open_viewer([str(SOURCE)])
    server.start()
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    # --no-sandbox: chromium refuses to start as root (CI and containers) without it.
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--hide-scrollbars",
        "--window-size=1280,820",
    ):
        options.add_argument(argument)
    options.add_argument("--force-device-scale-factor=1")
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    try:
        driver.get(server.url)
        WebDriverWait(driver, 30).until(
            lambda d: d.find_element("id", "status").get_attribute("data-complete") == "true"
        )
        for number in (2, 5):
            driver.find_element("css selector", f'.cell[data-n="{number}"] input.pick').click()
        time.sleep(0.5)  # the drawings' images decode
        driver.save_screenshot(str(TARGET))
    finally:
        driver.quit()
        server.close()
    print(f"wrote {TARGET}")


if __name__ == "__main__":
    main()
