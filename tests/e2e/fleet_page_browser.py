#!/usr/bin/python3
"""Loads the fleet's web page in headless Chromium (through chromedriver) and checks what a
person would see: the access points and stations, a station that appears without a reload, a
chart with drawn points, a hostile access point id shown as text, maker names, the access
point ap-slow flagged as an hour behind (and no other), the visits chart drawn with a visitor
and a passerby, and a browser console without errors. Saves a screenshot. Prints one FAIL line
per failed check.

usage: fleet_page_browser.py URL TOKEN HOSTILE_ID NEW_STATION SCREENSHOT
  NEW_STATION is heard only some time after the others: missing at first, it must appear.
Environment: MAKER_ADDRESS, MAKER_NAME (a globally administered station and its maker),
HASHED_ID (a station as the hostile access point publishes it), PROFILE_DIR (a fresh browser
profile).
"""
import os
import sys
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

url, token, hostile, new_station, screenshot = sys.argv[1:6]
failures = 0


def check(ok, what):
    global failures
    if not ok:
        failures += 1
        print("FAIL: " + what, flush=True)


def wait_for(what, predicate, seconds):
    deadline = time.time() + seconds
    value = None
    while time.time() < deadline:
        try:
            value = predicate()
        except Exception:  # the page may be between two renderings
            value = None
        if value:
            return value
        time.sleep(0.25)
    check(False, "timed out waiting for " + what)
    return value


def http_status(path, headers):
    request = urllib.request.Request(url + path, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


# The interface as a script sees it: a bearer token or nothing.
check(http_status("/api/view", {}) == 401, "/api/view without the token is not refused")
check(http_status("/api/view", {"Authorization": "Bearer " + token}) == 200,
      "/api/view with the bearer token is refused")

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
             "--no-first-run", "--disable-background-networking", "--disable-sync",
             "--disable-default-apps", "--disable-extensions", "--window-size=1400,1100",
             "--user-data-dir=" + os.environ["PROFILE_DIR"]):
    options.add_argument(flag)
options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
driver.set_page_load_timeout(30)
try:
    started = time.time()
    # The token comes once in the address; the page keeps it as a cookie and drops it from
    # the address.
    driver.get(url + "/?token=" + token)
    check("token" not in driver.current_url, "the token stayed in the address: " + driver.current_url)
    cookies = {c["name"]: c for c in driver.get_cookies()}
    check(cookies.get("vorlask_token", {}).get("httpOnly") is True,
          "no HttpOnly token cookie: %r" % cookies)
    driver.execute_script("window.loadedOnce = 'yes'")

    # The tables are rendered again at every live update: read them in one script each time.
    def texts(selector):
        return driver.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0])).map(e => e.textContent)",
            selector)

    def attributes(selector, name):
        return driver.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0])).map(e => e.getAttribute(arguments[1]))",
            selector, name)

    ids = wait_for("three access points",
                   lambda: len(attributes("#access-points tbody tr", "data-ap")) >= 3
                   and attributes("#access-points tbody tr", "data-ap"), 30)
    print("first data after %.1f s" % (time.time() - started), flush=True)
    check(hostile in (ids or []), "hostile access point missing from %r" % ids)
    # Shown as text: the cell's text is the id itself and no element came out of it.
    cells = texts("#access-points td.ap-id")
    check(hostile in cells, "hostile id not shown as text: %r" % cells)
    planted = driver.execute_script(
        "return document.querySelectorAll('main script, main b, main img').length")
    check(planted == 0, "markup from the network became %d elements" % planted)
    # An access point whose clock is off says so, and by how much, under its state.
    slow = wait_for("the clock note of ap-slow",
                    lambda: texts('#access-points tr[data-ap="ap-slow"] td .clock-off'), 30)
    check(slow == ["clock 1 h behind"], "ap-slow's clock note: %r" % slow)
    others = texts('#access-points tr:not([data-ap="ap-slow"]) .clock-off')
    check(others == [], "clock notes on access points whose clocks agree: %r" % others)
    options_text = driver.execute_script(
        "return Array.from(document.querySelectorAll('#chart-ap option')).map(o => o.text)")
    check(hostile in options_text, "hostile id missing from the chart's list")

    addresses = wait_for("stations", lambda: len(attributes("#stations tbody tr", "data-address")) >= 10
                         and attributes("#stations tbody tr", "data-address"), 20)
    check(bool(addresses), "too few stations: %r" % addresses)
    maker_row = texts('#stations tr[data-address="%s"] td' % os.environ["MAKER_ADDRESS"])
    check(len(maker_row) > 1 and maker_row[1] == os.environ["MAKER_NAME"],
          "maker of %s not shown: %r" % (os.environ["MAKER_ADDRESS"], maker_row))
    random_row = texts('#stations tr[data-address="02:00:00:00:00:01"] td')
    check(len(random_row) > 1 and random_row[1] == "", "a randomised address got a maker: %r" % random_row)
    check(new_station not in addresses, "the new station was there from the start")
    hashed_row = texts('#stations tr[data-address="%s"] td' % os.environ["HASHED_ID"])
    check(len(hashed_row) > 1 and hashed_row[1] == "", "a hashed id got a maker: %r" % hashed_row)

    # Search finds one station by part of its address.
    box = driver.find_element(By.ID, "station-search")
    box.send_keys("00:00:00:00:04")
    wait_for("the search to narrow the list",
             lambda: attributes("#stations tbody tr", "data-address") == ["02:00:00:00:00:04"], 10)
    box.clear()
    driver.execute_script("document.getElementById('station-search').dispatchEvent(new Event('input'))")

    # A new station comes in through the live feed.
    wait_for("the new station " + new_station,
             lambda: new_station in attributes("#stations tbody tr", "data-address"), 30)
    check(driver.execute_script("return window.loadedOnce") == "yes", "the page was reloaded")

    # The charts draw once the history holds a minute; the page asks for it again as the
    # live feed moves on.
    points = wait_for("a chart with points", lambda: int(driver.find_element(
        By.ID, "chart-stations").get_attribute("data-points") or 0) > 0 and driver.execute_script(
        "return document.querySelector('#chart-stations canvas') !== null"), 60)
    check(bool(points), "the station chart drew nothing")
    def ink(chart):
        return driver.execute_script("""
            const c = document.querySelector('#' + arguments[0] + ' canvas');
            if (!c) return 0;
            const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            let n = 0;
            for (let i = 3; i < d.length; i += 4) if (d[i] > 0) n++;
            return n;""", chart)

    inked = ink("chart-stations")
    check(inked > 100, "the station chart's canvas is blank (%s pixels)" % inked)
    # A station's hours from the history: a click on its row.
    driver.execute_script(
        "document.querySelector('#stations tr[data-address=\"' + arguments[0] + '\"]').click()",
        os.environ["MAKER_ADDRESS"])
    panel = wait_for("the station's strongest access point per hour",
                     lambda: "strongest at ap-north (-40 dBm)" in driver.find_element(
                         By.ID, "station-history").text, 10)
    if not panel:
        print("station panel: %r" % driver.find_element(By.ID, "station-history").text)
    # Pick the hostile access point's chart: its id stays text in the heading.
    driver.execute_script(
        "const s = document.getElementById('chart-ap'); s.value = arguments[0];"
        "s.dispatchEvent(new Event('change'))", hostile)
    wait_for("the hostile access point's heading",
             lambda: driver.find_element(By.ID, "chart-subject").text == hostile, 10)
    driver.find_element(By.ID, "range-day").click()
    time.sleep(1)
    driver.execute_script(
        "const s = document.getElementById('chart-ap'); s.value = '';"
        "s.dispatchEvent(new Event('change'))")
    driver.find_element(By.ID, "range-hour").click()
    time.sleep(1.5)

    # Visits: the collector runs with --visits; a visitor and a passerby heard for the run's first
    # 25 s end 12 s later, and the visits chart draws them.
    def visits_drawn():
        counts = driver.execute_script("""
            const g = state.charts['chart-visits'];
            if (!g || document.getElementById('visits').hidden) return null;
            let visitors = 0, passersby = 0;
            for (let i = 0; i < g.numRows(); i++) {
              visitors += g.getValue(i, 1) || 0;
              passersby += g.getValue(i, 2) || 0;
            }
            return [visitors, passersby];""")
        if counts and counts[0] >= 1 and counts[1] >= 1:
            return counts
        driver.execute_script("loadCharts()")
        time.sleep(1)
        return None

    counts = wait_for("the visits chart with a visitor and a passerby", visits_drawn, 60)
    check(counts == [1, 1], "visits drawn: %r" % counts)
    check(ink("chart-visits") > 100, "the visits chart's canvas is blank")
    note = driver.find_element(By.ID, "visits-note").text
    check(note.startswith("last day: 1 visitors (1 new, 0 returning), 1 passersby"),
          "visits note: %r" % note)

    driver.save_screenshot(screenshot)
    check(os.path.getsize(screenshot) > 10000, "screenshot too small")

    errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    check(not errors, "%d browser console errors, the first: %r" % (len(errors), errors[:3]))
    feed = driver.find_element(By.ID, "feed").text
    check(feed == "live", "live feed state is %r" % feed)
finally:
    driver.quit()
sys.exit(1 if failures else 0)
