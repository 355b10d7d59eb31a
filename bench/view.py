"""vrdview in headless chromium on one volume: when the first slice is on
screen after the page opens, how long the slider and a window handle take to
show their change (the page's own performance measures), and the server's
peak resident memory (VmHWM). Run by bench/view.sh.
Usage: view.py VRDVIEW VOLUME"""
import os
import signal
import statistics
import subprocess
import sys
import time

import psutil
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

vrdview, volume = sys.argv[1], sys.argv[2]
server = subprocess.Popen([vrdview, "--no-browser", volume], stdout=subprocess.PIPE, text=True)
url = server.stdout.readline().strip()

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for a in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
          "--force-device-scale-factor=1"]:
    options.add_argument(a)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def until(script, timeout=300):
    end = time.time() + timeout
    while time.time() < end:
        if driver.execute_script(script):
            return
        time.sleep(0.01)
    raise SystemExit(f"timed out: {script}")


def durations(name):
    return driver.execute_script(f"return performance.getEntriesByName('{name}').map(e => e.duration)")


def figures(name, values):
    print(f"{name:44s} n={len(values):3d}  median {statistics.median(values):6.1f} ms  "
          f"max {max(values):6.1f} ms")


def slider(steps, key):
    axial = driver.find_element(By.CSS_SELECTOR, ".view.big canvas")
    axial.click()
    until("return vrdview.idle()")
    before = len(durations("vrdview:slice"))
    for _ in range(steps):
        ActionChains(driver).send_keys(key).perform()
        until("return vrdview.idle()")
    return durations("vrdview:slice")[before:]


def handle(steps):
    canvas = driver.find_element(By.ID, "histogram")
    w, h = canvas.size["width"], canvas.size["height"]
    before = len(durations("vrdview:window"))
    for i in range(steps):
        p = driver.execute_script("return vrdview.handlePoint(1)")
        ActionChains(driver).move_to_element_with_offset(canvas, p["x"] - w / 2, p["y"] - h / 2) \
            .click_and_hold().move_by_offset(4 if i % 2 == 0 else -4, 0).release().perform()
        until("return vrdview.idle()")
    return durations("vrdview:window")[before:]


load = os.getloadavg()
driver.get("about:blank")  # the browser's own start is not the page's
driver.get(url)
until("return performance.getEntriesByName('vrdview:first-slice').length > 0", 30)
first = driver.execute_script("return performance.getEntriesByName('vrdview:first-slice')[0].startTime")
print(f"{'first slice on screen after the page opens':44s} {first:6.1f} ms")
steps = driver.execute_script("""
  const r = performance.getEntriesByType('resource'), n = performance.getEntriesByType('navigation')[0];
  const find = (part) => r.find((e) => e.name.includes(part));
  const plane = find('axis=z');
  const info = r.filter((e) => e.name.includes('/api/info') && e.startTime < plane.startTime);
  return [n.responseEnd, find('vrdview.js').responseEnd, info[0].responseEnd, info.length,
          plane.startTime, plane.responseEnd];""")
print("  page %.0f, script %.0f, first info answered %.0f (%d before the window was known), axial plane asked %.0f, "
      "answered %.0f ms" % tuple(steps))
during = slider(10, Keys.ARROW_UP)
figures("slider, while the file is read through", during)
t = time.time()
until("return vrdview.settled() && vrdview.idle()")
print(f"{'read through and checked (after first slice)':44s} {time.time() - t:6.1f} s")
figures("slider, new slice from its block", slider(30, Keys.ARROW_UP))
figures("slider, back over cached slices", slider(30, Keys.ARROW_DOWN))
figures("window handle, three planes re-rendered", handle(30))
hwm = [line for line in open(f"/proc/{server.pid}/status") if line.startswith("VmHWM")][0].split()[1]
print(f"{'server peak resident memory':44s} {int(hwm) / 1024:6.1f} MiB")
print(f"load average at start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, at end "
      + " ".join(f"{x:.2f}" for x in os.getloadavg()) + f" ({os.cpu_count()} cores)")
driver.quit()
server.send_signal(signal.SIGINT)
try:
    server.wait(timeout=30)
except subprocess.TimeoutExpired:
    server.kill()
    raise
