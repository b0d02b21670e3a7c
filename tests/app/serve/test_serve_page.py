"""The page of `sonoscriptor serve` in a real browser: headless Chromium through Selenium.

Usage: python3 test_serve_page.py BUILD_DIR

Loads the page, uploads the bundled Prelude with a tempo of 66, waits for it to
finish, checks that the piano roll shows its notes and bars and the score shows
note heads, presses play and sees the cursor move, downloads the MIDI file and
compares it with the command's. With SCREENSHOT=path, saves the page there.
Needs Debian's chromium, chromium-driver and python3-selenium; fails without them.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from system_python import need  # noqa: E402

need("selenium")

import shutil  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import unittest  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from serving import PRELUDE, Server, command  # noqa: E402

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--no-proxy-server", "--autoplay-policy=no-user-gesture-required", "--window-size=1280,1400"]


def browser(profile, downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=options)


class ServePage(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="serve-page-")
        self.downloads = os.path.join(self.dir, "downloads")
        os.mkdir(self.downloads)
        self.server = Server("-j", "1")
        self.driver = browser(os.path.join(self.dir, "profile"), self.downloads)

    def tearDown(self):
        self.driver.quit()
        self.server.cleanup()
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_prelude_from_upload_to_score_and_download(self):
        d = self.driver
        d.get(f"http://127.0.0.1:{self.server.port}/")
        d.find_element(By.NAME, "tempo").send_keys("66")
        d.find_element(By.ID, "files").send_keys(PRELUDE)
        wait = WebDriverWait(d, 120)
        job = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, ".job[data-state]"))
        self.assertEqual(job.get_attribute("data-state"), "done", job.text)
        roll = job.find_element(By.CSS_SELECTOR, "canvas.roll")
        wait.until(lambda d: roll.get_attribute("data-notes"))
        self.assertEqual(roll.get_attribute("data-notes"), "64")
        self.assertGreaterEqual(int(roll.get_attribute("data-bars")), 4)
        score = job.find_element(By.CSS_SELECTOR, ".score")
        wait.until(lambda d: score.get_attribute("data-rendered") == "yes")
        self.assertGreater(len(score.find_elements(By.CSS_SELECTOR, ".vf-notehead")), 40)

        job.find_element(By.CSS_SELECTOR, ".play-notes").click()
        cursor = job.find_element(By.CSS_SELECTOR, ".cursor")
        wait.until(lambda d: float(cursor.get_attribute("data-seconds") or 0) > 0.5)
        job.find_element(By.CSS_SELECTOR, ".stop").click()

        if os.environ.get("SCREENSHOT"):
            d.execute_script("window.scrollTo(0, 0)")
            d.save_screenshot(os.environ["SCREENSHOT"])

        job.find_element(By.CSS_SELECTOR, "a.midi").click()
        path = os.path.join(self.downloads, "prelude.mid")
        end = time.time() + 30
        while not os.path.exists(path) and time.time() < end:
            time.sleep(0.1)
        mid = os.path.join(self.dir, "command.mid")
        self.assertEqual(command("--tempo", "66", PRELUDE, "-o", mid).returncode, 0)
        with open(path, "rb") as got, open(mid, "rb") as want:
            self.assertEqual(got.read(), want.read())


if __name__ == "__main__":
    unittest.main()
