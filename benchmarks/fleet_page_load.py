#!/usr/bin/python3
"""Page load to first data in headless Chromium: from asking for the fleet page to its access
point table holding rows, beside loading the page's icon (one static file) from the same
server. Median of RUNS each. Prints "result KEY VALUE" lines.

usage: fleet_page_load.py URL RUNS PROFILE_DIR [KEY]   (KEY: the results' prefix, default page)
"""
import statistics
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

url, runs, profile = sys.argv[1], int(sys.argv[2]), sys.argv[3]
key = sys.argv[4] if len(sys.argv) > 4 else "page"
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
             "--no-first-run", "--disable-background-networking", "--disable-sync",
             "--disable-extensions", "--window-size=1400,1000", "--user-data-dir=" + profile):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    page, icon = [], []
    for _ in range(runs):
        driver.get("about:blank")
        t = time.time()
        driver.get(url + "/icon.svg")
        icon.append(time.time() - t)
        driver.get("about:blank")
        t = time.time()
        driver.get(url + "/")
        while driver.execute_script(
                "return document.querySelectorAll('#access-points tbody tr').length") == 0:
            if time.time() - t > 60:
                sys.exit("no data on the page after 60 s")
            time.sleep(0.01)
        page.append(time.time() - t)
    print("%s load to first data: %s s; icon: %s s" % (key,
        " ".join("%.3f" % p for p in page), " ".join("%.3f" % p for p in icon)))
    print("result %s_load_ms %.0f" % (key, statistics.median(page) * 1000))
    print("result %s_icon_ms %.0f" % (key, statistics.median(icon) * 1000))
finally:
    driver.quit()
