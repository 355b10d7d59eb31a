"""vrdview in a real browser: Debian's chromium, headless, through selenium
and chromium-driver. Pixels of the views against volmap's output of the
command the page shows, the overlay, and the messages of damaged, refused and
vanished files."""
import os
import re
import shutil
import struct
import subprocess
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from conftest import FIXTURE, served

VOLMAP = os.environ["VOLMAP"]
SHOTS = os.environ.get("VRDVIEW_SHOTS")
NX, NY, NZ = 64, 48, 20


def known(x, y, z):
    return float(x + 2 * y + 10 * z)


def grey(v):
    """The page's grey level for a window value (what a pixel must show)."""
    if v != v or v <= 0:
        return 0
    return 255 if v >= 1 else int(v * 255 + 0.5)


@pytest.fixture(scope="session")
def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for a in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
              "--force-device-scale-factor=1", "--disable-gpu"]:
        o.add_argument(a)
    d = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=o)
    yield d
    d.quit()


def wait(driver, script, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        if driver.execute_script(script):
            return
        time.sleep(0.05)
    raise AssertionError(f"page never got to: {script}\nmessages: {text(driver, 'messages')}")


def settle(driver):
    wait(driver, "return window.vrdview && vrdview.settled() && vrdview.idle()")


def text(driver, element_id):
    return driver.execute_script(f"return document.getElementById('{element_id}').textContent")


PIXEL = """
const [axis, col, row] = arguments;
const v = vrdview.views.find((w) => w.axis === axis);
const p = v.pointOf(col, row);
const r = window.devicePixelRatio || 1;
return Array.from(v.canvas.getContext('2d').getImageData(Math.floor(p.x * r), Math.floor(p.y * r), 1, 1).data);
"""


def pixel(driver, axis, col, row):
    return driver.execute_script(PIXEL, axis, col, row)


def dump(path, z):
    raw = subprocess.run([FIXTURE, "dump", str(path), str(z)], check=True, capture_output=True).stdout
    return struct.unpack(f"{NX * NY}f", raw)


def run_command(driver, cwd):
    """Runs the volmap command the page shows; returns the output's path."""
    command = text(driver, "command")
    assert command.startswith("volmap "), command
    subprocess.run(command.replace("volmap", VOLMAP, 1), shell=True, cwd=cwd, check=True)
    return cwd / command.split()[2]


VOXELS = [(x, y) for x in (0, 5, 17, 31, 48, 63) for y in (0, 9, 23, 40, 47)]


def assert_page_shows(driver, output, z, on_canvas=False):
    """The axial view's pixels are the volmap output's slice z, voxel for
    voxel (on_canvas: every fourth voxel the canvas shows, when zoomed)."""
    values = dump(output, z)
    size = driver.execute_script("const c = vrdview.views[0].canvas; return [c.clientWidth, c.clientHeight]")
    shown = 0
    for x, y in [(x, y) for x in range(0, NX, 4) for y in range(0, NY, 4)] if on_canvas else VOXELS:
        p = driver.execute_script("return vrdview.views[0].pointOf(arguments[0], arguments[1])", x, y)
        if on_canvas and not (0 <= p["x"] < size[0] and 0 <= p["y"] < size[1]):
            continue
        shown += 1
        g = grey(values[y * NX + x])
        assert pixel(driver, "z", x, y)[:3] == [g, g, g], (x, y, z, values[y * NX + x])
    assert shown >= 4


def test_window_slider_and_volmap_command(volumes, browser):
    with served(["a.vrd"], volumes) as (url, _, _p):
        browser.get(url)
        settle(browser)
        assert text(browser, "messages") == ""
        assert "a.vrd: sound" in text(browser, "verdict")
        assert "64 x 48 x 20 voxels" in text(browser, "words")
        z = NZ // 2
        first = run_command(browser, volumes)
        assert_page_shows(browser, first, z)
        before = [pixel(browser, "z", x, y) for x, y in VOXELS]

        # Dragging mid1 to the right lowers the rising edge's values.
        handle = browser.execute_script("return vrdview.handlePoint(1)")
        canvas = browser.find_element(By.ID, "histogram")
        w, h = canvas.size["width"], canvas.size["height"]
        old = browser.execute_script("return vrdview.state.window.slice()")
        ActionChains(browser).move_to_element_with_offset(canvas, handle["x"] - w / 2, handle["y"] - h / 2) \
            .click_and_hold().move_by_offset(40, 0).move_by_offset(20, 0).release().perform()
        settle(browser)
        new = browser.execute_script("return vrdview.state.window.slice()")
        assert new[0] == old[0] and new[2:] == old[2:] and float(new[1]) > float(old[1]), (old, new)
        assert browser.find_element(By.ID, "w-mid1").get_attribute("value") == new[1]
        dragged = run_command(browser, volumes)
        assert_page_shows(browser, dragged, z)
        assert [pixel(browser, "z", x, y) for x, y in VOXELS] != before

        # The slider (by the keyboard on the axial view) shows slice z + 3.
        browser.find_element(By.CSS_SELECTOR, ".view.big canvas").click()
        for _ in range(3):
            ActionChains(browser).send_keys(Keys.ARROW_UP).perform()
        settle(browser)
        assert browser.execute_script("return vrdview.views[0].index") == z + 3
        assert browser.find_element(By.CSS_SELECTOR, ".view.big input").get_attribute("value") == str(z + 3)
        assert_page_shows(browser, dragged, z + 3)

        # A typed window reaches the views and the command alike.
        field = browser.find_element(By.ID, "w-max")
        field.clear()
        field.send_keys("400")
        settle(browser)
        assert text(browser, "command").endswith(" 400")
        assert_page_shows(browser, run_command(browser, volumes), z + 3)

        # The read-out names the voxel under the pointer, its value and position.
        p = browser.execute_script("return vrdview.views[0].pointOf(5, 7)")
        axial = browser.find_element(By.CSS_SELECTOR, ".view.big canvas")
        aw, ah = axial.size["width"], axial.size["height"]
        ActionChains(browser).move_to_element_with_offset(axial, p["x"] - aw / 2, p["y"] - ah / 2).perform()
        wait(browser, "return document.getElementById('readout').textContent.startsWith('x 5')")
        assert re.search(rf"x 5  y 7  z {z + 3}  value {known(5, 7, z + 3):g}  windowed \S+  position 2.5, 3.5, 26 mm",
                         text(browser, "readout")), text(browser, "readout")

        # Ctrl and the wheel zoom about the pointer, a drag pans, a double click
        # goes back; the pixels stay the voxels of volmap's output throughout.
        output = run_command(browser, volumes)
        rect = browser.execute_script("return vrdview.views[0].canvas.getBoundingClientRect().toJSON()")
        cx, cy = round(rect["left"] + p["x"]), round(rect["top"] + p["y"])  # events land on whole pixels
        browser.execute_script(
            "arguments[0].dispatchEvent(new WheelEvent('wheel', {deltaY: -300, ctrlKey: true, bubbles: true,"
            " cancelable: true, clientX: arguments[1], clientY: arguments[2]}))", axial, cx, cy)
        k = browser.execute_script("return vrdview.views[0].zoom")
        assert k > 2.5
        q = browser.execute_script("return vrdview.views[0].pointOf(5, 7)")
        ax, ay = cx - rect["left"], cy - rect["top"]  # the point under the pointer stays
        assert abs(q["x"] - ax - (p["x"] - ax) * k) < 0.5 and abs(q["y"] - ay - (p["y"] - ay) * k) < 0.5, (p, q)
        assert_page_shows(browser, output, z + 3, on_canvas=True)
        ActionChains(browser).move_to_element_with_offset(axial, 0, 0).click_and_hold() \
            .move_by_offset(15, 10).move_by_offset(15, 10).release().perform()
        q = browser.execute_script("return vrdview.views[0].pointOf(5, 7)")
        assert abs(q["x"] - p["x"] - 30) < 1 and abs(q["y"] - p["y"] - 20) < 1, (p, q)
        assert_page_shows(browser, output, z + 3, on_canvas=True)
        ActionChains(browser).double_click(axial).perform()
        q = browser.execute_script("return vrdview.views[0].pointOf(5, 7)")
        assert abs(q["x"] - p["x"]) < 1 and abs(q["y"] - p["y"]) < 1, (p, q)

        # Coronal and sagittal planes hold the same voxels as the axial one.
        g = grey(dump(run_command(browser, volumes), z + 3)[24 * NX + 32])
        assert pixel(browser, "y", 32, z + 3)[:3] == [g, g, g]
        assert pixel(browser, "x", 24, z + 3)[:3] == [g, g, g]


def test_difference_overlay(volumes, browser):
    with served(["a.vrd", "b.vrd"], volumes) as (url, _, _p):
        browser.get(url)
        settle(browser)
        assert text(browser, "difference-count").startswith("400 voxels differ")
        browser.find_element(By.CSS_SELECTOR, ".view.big canvas").click()
        for _ in range(4):
            ActionChains(browser).send_keys(Keys.ARROW_DOWN).perform()
        settle(browser)
        assert browser.execute_script("return vrdview.views[0].index") == 6
        inside, outside = pixel(browser, "z", 12, 10), pixel(browser, "z", 30, 30)
        assert inside[0] == 255 and inside[1] == inside[2] and inside[1] < 255 // 4 + 1, inside
        assert outside[0] == outside[1] == outside[2], outside
        if SHOTS:
            browser.save_screenshot(os.path.join(SHOTS, "vrdview-difference.png"))
        browser.find_element(By.ID, "overlay").click()
        settle(browser)
        plain = pixel(browser, "z", 12, 10)
        assert plain[0] == plain[1] == plain[2], plain


def test_damaged_refused_and_vanished_files(volumes, browser, tmp_path):
    with served(["damaged.vrd"], volumes) as (url, _, _p):
        browser.get(url)
        settle(browser)
        assert "damaged: 1 of 20 slices not read whole" in text(browser, "messages")
        browser.execute_script("vrdview.views[0].go(7)")
        settle(browser)
        assert re.search(r"damaged\.vrd: slice 7: \S", text(browser, "messages")), text(browser, "messages")
        browser.execute_script("vrdview.views[0].go(8)")
        settle(browser)
        g = pixel(browser, "z", 3, 3)
        assert g[0] == g[1] == g[2]  # the slices after it are shown
        # The side planes mark its row, where they hold no values of the file.
        assert pixel(browser, "y", 3, 7)[:3] == [96, 48, 32]
        g = pixel(browser, "y", 3, 8)
        assert g[0] == g[1] == g[2]

    with served(["refused.vrd"], volumes) as (url, _, _p):
        browser.get(url)
        settle(browser)
        assert "refused.vrd: refused: unknown 'dtype' value" in text(browser, "messages")
        assert "refused: unknown 'dtype' value" in text(browser, "verdict")

    shutil.copy(volumes / "a.vrd", tmp_path / "soon-gone.vrd")
    with served(["soon-gone.vrd", "missing.vrd"], tmp_path) as (url, _, _p):
        browser.get(url)
        settle(browser)
        assert "missing.vrd: refused: file open error: No such file or directory" in text(browser, "messages")
        os.remove(tmp_path / "soon-gone.vrd")
        wait(browser, "return document.getElementById('messages').textContent.includes("
                      "'soon-gone.vrd: file open error: No such file or directory')")
        # What was opened is still shown.
        browser.execute_script("vrdview.views[0].go(3)")
        settle(browser)
        assert browser.execute_script("return vrdview.views[0].values !== null")




@pytest.mark.skipif(not SHOTS, reason="VRDVIEW_SHOTS names no folder")
def test_screenshot_of_a_ct_like_volume(browser, tmp_path):
    """The README's picture: a CT-like volume with a soft-tissue window."""
    subprocess.run([os.environ["VRD_BENCH_VOLUME"], str(tmp_path / "head.vrd"), "192", "192", "96", "zlib"],
                   check=True)
    with served(["head.vrd"], tmp_path) as (url, _, _p):
        browser.get(url)
        settle(browser)
        for name, value in (("w-max", "900"), ("w-mid2", "200"), ("w-mid1", "80"), ("w-min", "-20")):
            field = browser.find_element(By.ID, name)
            field.clear()
            field.send_keys(value)
        settle(browser)
        assert text(browser, "command") == "volmap head.vrd head-windowed.vrd -20 80 200 900"
        p = browser.execute_script("return vrdview.views[0].pointOf(60, 80)")
        axial = browser.find_element(By.CSS_SELECTOR, ".view.big canvas")
        ActionChains(browser).move_to_element_with_offset(
            axial, p["x"] - axial.size["width"] / 2, p["y"] - axial.size["height"] / 2).perform()
        wait(browser, "return document.getElementById('readout').textContent.startsWith('x 60')")
        browser.set_window_size(1400, 1130)
        try:
            browser.save_screenshot(os.path.join(SHOTS, "vrdview.png"))
        finally:
            browser.set_window_size(1400, 1000)
