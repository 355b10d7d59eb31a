"""Shared by the viewer's tests: the test volumes, and vrdview run and stopped.

Environment: VRDVIEW (the program), VRDVIEW_FIXTURE (writes the test volumes,
dumps slices), VOLMAP, VRDVIEW_SHOTS (folder for the README's screenshots),
VRDVIEW_WEB_SOURCE (the page's source folder), VRD_BUILD_DIR.
"""
import os
import re
import signal
import subprocess
from contextlib import contextmanager

import pytest

VRDVIEW = os.environ["VRDVIEW"]
FIXTURE = os.environ["VRDVIEW_FIXTURE"]


@pytest.fixture(scope="session")
def volumes(tmp_path_factory):
    d = tmp_path_factory.mktemp("volumes")
    subprocess.run([FIXTURE, "make", str(d)], check=True)
    return d


@contextmanager
def served(files, cwd, env=None):
    """Runs vrdview on files; yields (url, port, process); stops it with Ctrl-C, which must end it with 0."""
    p = subprocess.Popen([VRDVIEW, "--no-browser", *files], cwd=cwd, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env={**os.environ, **(env or {})})
    try:
        url = p.stdout.readline().strip()
        m = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32})", url)
        assert m, url
        yield url, int(m.group(1)), p
    finally:
        p.send_signal(signal.SIGINT)
        try:
            status = p.wait(timeout=60)
        except subprocess.TimeoutExpired:
            p.kill()
            raise
    assert status == 0, p.stderr.read()
