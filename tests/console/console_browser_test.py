#!/usr/bin/python3
"""The console of kestrel-channeld --console, in a real headless Chromium.

One flow against a service of its own: the page shows the channel; what is
published appears in the tail, newest first, without a reload; a filter
narrows it, and a malformed one is shown with the parser's message and
position and leaves the old one working; a notification's text is shown as
text and never runs; pause holds lines (500, then counts them as dropped)
and resume shows them; a page too many is told that the service refused
it; at a phone's width nothing scrolls sideways and the tail is there.

  console_browser_test.py BIN_DIR [--screenshot PATH]

Needs Debian's python3-selenium, chromium and chromium-driver. Everything
listens on and talks to 127.0.0.1 only. Exit status 0 passed, 1 failed.
"""

import argparse
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

WAIT = 15  # seconds; every wait is for something that should take far less
CHROMIUM, CHROMEDRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'
DISK = "$mSeverity >= 4 and $mModule == 'disk'"
MALFORMED = '$mSeverity >='
XSS = '<script>window.kestrelPwned=1</script><img src=x onerror="window.kestrelPwned=2">'
for proxy in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'all_proxy', 'ALL_PROXY'):
    os.environ.pop(proxy, None)  # the driver's client would go through one
ENV = dict(os.environ, ORBendPoint='giop:tcp:127.0.0.1:')


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def until(what, condition, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        check(time.monotonic() < deadline, f'gave up after {timeout} s waiting for {what}')
        time.sleep(0.05)
    return value


def http_get(port, path):
    """(status, body) of GET path on 127.0.0.1:port; -1 when nothing answers."""
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=5)
    try:
        connection.request('GET', path)
        reply = connection.getresponse()
        return reply.status, reply.read()
    except OSError:
        return -1, b''
    finally:
        connection.close()


def stop(process):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Service:
    """kestrel-channeld --console, and the clients that talk to it."""

    def __init__(self, bin_dir, state_dir, log):
        self.bin_dir, self.metrics, lines = bin_dir, free_port(), []
        self.process = subprocess.Popen(
            [os.path.join(bin_dir, 'kestrel-channeld'), '--port', str(free_port()), '--metrics',
             f'127.0.0.1:{self.metrics}', '--console', '--state-dir', state_dir],
            env=ENV, stdout=subprocess.PIPE, stderr=log, text=True)
        try:
            threading.Thread(target=lambda: lines.extend(self.process.stdout), daemon=True).start()
            self.address = until('the channel\'s address on stdout', lambda: next(
                (l.strip() for l in lines if l.startswith('corbaloc:iiop:127.0.0.1:')), None))
            until('/health to answer 200', lambda: self.get('/health')[0] == 200)
        except BaseException:
            stop(self.process)
            raise
        self.key, self.url = self.address.rsplit('/', 1)[1], f'http://127.0.0.1:{self.metrics}/'

    def get(self, path):
        check(self.process.poll() is None, f'kestrel-channeld ended ({self.process.returncode})')
        return http_get(self.metrics, path)

    def publish(self, module, severity, code, description=None, lines=None):
        command = [os.path.join(self.bin_dir, 'kestrel-publish'), '--channel', self.address,
                   '--module', module, '--severity', str(severity), '--code', hex(code)]
        done = subprocess.run(command + ([description] if description else []), env=ENV,
                              input=lines, capture_output=True, text=True, timeout=60)
        check(done.returncode == 0, f'kestrel-publish: {done.returncode} {done.stderr.strip()}')

    def hold_tail(self):
        """A tail held open (its reply, which owns the socket), or None when
        the service refuses one."""
        connection = http.client.HTTPConnection('127.0.0.1', self.metrics, timeout=WAIT)
        connection.request('GET', '/console/tail')
        reply = connection.getresponse()
        check(reply.status in (200, 503), f'/console/tail answered {reply.status}')
        if reply.status == 503:
            reply.close()
            connection.close()
            return None
        return reply


class Page:
    """The console in headless Chromium, through a chromedriver of our own."""

    def __init__(self, url, profile):
        port, self.driver = free_port(), None
        self.chromedriver = subprocess.Popen([CHROMEDRIVER, f'--port={port}'],
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ['--headless=new', '--disable-gpu', '--window-size=1400,900',
                         '--no-proxy-server', '--no-first-run', '--no-default-browser-check',
                         '--disable-background-networking', '--disable-component-update',
                         '--disable-sync', '--disable-extensions', '--disable-dev-shm-usage',
                         # The sandbox needs namespaces that a container may not
                         # grant, whoever runs the test; it loads only our page.
                         '--no-sandbox', f'--user-data-dir={profile}']:
            options.add_argument(argument)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        try:
            until('chromedriver', lambda: http_get(port, '/status')[0] == 200)
            self.driver = webdriver.Remote(command_executor=f'http://127.0.0.1:{port}', options=options)
            self.driver.get(url)
        except BaseException:
            self.close()
            raise

    def close(self):
        try:
            if self.driver:
                self.driver.quit()
        except WebDriverException:
            pass
        stop(self.chromedriver)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, what, condition, timeout=WAIT):
        try:
            return WebDriverWait(self.driver, timeout, 0.05).until(lambda _: condition())
        except TimeoutException:
            raise Failure(f'gave up after {timeout} s waiting for {what}') from None

    def rows(self):
        """The tail's notifications as shown, newest first: {cell class: text}."""
        return self.js("""return [...document.querySelectorAll('#rows > .row.event')].map(r =>
            Object.fromEntries([...r.children].map(c => [c.className.split(' ')[0], c.textContent])));""")

    def descriptions(self):
        return [r['c-desc'] for r in self.rows()]

    def shown(self, description):
        self.wait(f'"{description}" in the tail', lambda: description in self.descriptions())

    def text(self, element_id):
        return self.js('return document.getElementById(arguments[0]).textContent;', element_id)

    def number(self, script):
        """The count that script's text starts with; 0 when none."""
        found = re.match(r'[\d,]+', str(self.js(script) or ''))
        return int(found.group().replace(',', '')) if found else 0

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()

    def stream(self):
        return self.js("return document.getElementById('tail').dataset.stream;")

    def filter(self, text):
        box = self.driver.find_element(By.ID, 'filter')
        box.clear()
        box.send_keys(text)
        self.click('apply')


HELD = "return document.getElementById('held').dataset.held;"
DROPPED = "return document.getElementById('dropped').textContent;"
RECEIVED = "return document.querySelector('.total[data-series=received]').textContent;"


def live_tail(service, page, state_dir):
    page.wait('the channel', lambda: service.key in page.js(
        "return [...document.querySelectorAll('#channels h3')].map(h => h.textContent);"))
    page.wait('the tail to open', lambda: page.stream() == 'open')
    version = json.loads(service.get('/console/state')[1])['version']
    page.wait('the version and the state directory', lambda: page.text('version') == version
              and page.driver.find_element(By.ID, 'state').is_displayed()
              and page.text('state-dir') == state_dir)
    service.publish('disk', 3, 0x1001, 'disk /var is 92% full')
    service.publish('network', 1, 0x2001, 'link eth0 is up')
    page.shown('link eth0 is up')
    rows = page.rows()
    check([r['c-desc'] for r in rows] == ['link eth0 is up', 'disk /var is 92% full'],
          f'not newest first: {[r["c-desc"] for r in rows]}')
    disk = rows[1]
    check((disk['c-mod'], disk['c-sev'], disk['c-code'], disk['c-chan']) ==
          ('disk', 'warning', '0x00001001', service.key), f'a line shows {disk}')
    check(re.fullmatch(r'\d\d:\d\d:\d\d\.\d{3}', disk['c-time']), f'time {disk["c-time"]!r}')
    check(disk['c-host'] in (socket.gethostname(), socket.gethostname().split('.')[0]),
          f'host {disk["c-host"]!r}')
    colours = page.js("""return [...document.querySelectorAll('#rows .sev')]
        .map(s => getComputedStyle(s).backgroundColor);""")
    check(colours[0] != colours[1], f'info and warning look alike: {colours}')
    page.wait('the received count', lambda: page.number(RECEIVED) == 2)
    page.wait('the listener among the busiest consumers', lambda: page.js(
        "const c = document.querySelector('#proxies tbody td small'); return c && c.textContent;")
        == service.key)


def markup_is_text(service, page):
    service.publish('web', 2, 0x4000, XSS)
    page.shown(XSS)
    check(page.js("return document.querySelectorAll('#rows img, #rows script').length;") == 0,
          'a description became markup')
    cell = page.driver.find_element(By.XPATH, "//span[@class='c-desc'][contains(., 'kestrelPwned=2')]")
    check(cell.is_displayed() and cell.text == XSS, f'the description shows as {cell.text!r}')


def narrowing(service, page, unwanted, wanted):
    """Publishes unwanted, then wanted: once wanted shows, unwanted, sent
    before it on the same channel, would have shown too."""
    for module, severity, code, text in unwanted + [wanted]:
        service.publish(module, severity, code, text)
    page.shown(wanted[3])
    for *_, text in unwanted:
        check(text not in page.descriptions(), f'the filter let through "{text}"')


def filtering(service, page):
    page.filter(DISK)
    page.wait('the filter to be taken',
              lambda: page.text('watching') == 'only ' + DISK and page.stream() == 'open')
    narrowing(service, page, [('disk', 3, 0x1001, 'disk /var is 93% full'),
                              ('network', 5, 0x2002, 'link eth1 is down')],
              ('disk', 4, 0x1002, 'disk /data is 97% full'))
    # A malformed one is shown where it fails, and changes nothing.
    status, body = service.get('/console/filter?' + urllib.parse.urlencode({'constraint': MALFORMED}))
    answer = json.loads(body)
    check(status == 200 and answer['ok'] is False, f'/console/filter said {status} {body!r}')
    page.filter(MALFORMED)
    page.wait('the parser\'s message',
              lambda: page.driver.find_element(By.ID, 'filter-problem').is_displayed())
    check(page.text('filter-message') == answer['message'],
          f'message {page.text("filter-message")!r}, not {answer["message"]!r}')
    where = page.text('filter-where').split('\n')
    check(where[0].rstrip() == MALFORMED and where[1].index('^') == answer['position'],
          f'position {answer["position"]} shown as {where}')
    check(page.text('watching') == 'only ' + DISK and page.stream() == 'open',
          'a malformed filter changed the stream')
    narrowing(service, page, [('disk', 2, 0x1003, 'disk /home is 40% full')],
              ('disk', 5, 0x1004, 'disk /var/log is 99% full'))


def pausing(service, page):
    page.click('pause')
    service.publish('disk', 4, 0x1005, 'disk /srv is 95% full')
    page.wait('a line held', lambda: page.js(HELD) == '1')
    check('disk /srv is 95% full' not in page.descriptions(), 'a line showed while paused')
    page.click('pause')
    page.shown('disk /srv is 95% full')
    # Beyond 500 held, lines are dropped and counted; the tail keeps 500 rows.
    dropped = page.number(DROPPED)
    page.click('pause')
    service.publish('disk', 4, 0x1006, lines=''.join(f'disk burst line {i}\n' for i in range(1, 521)))
    page.wait('520 lines held or dropped',
              lambda: page.number(HELD) + page.number(DROPPED) - dropped == 520)
    check(page.text('held').startswith('paused: 500 held'), page.text('held'))
    page.click('pause')
    page.shown('disk burst line 500')
    count = page.js("return document.querySelectorAll('#rows > .row').length;")
    check(count == 500 and page.descriptions()[0] == 'disk burst line 500',
          f'{count} rows after the burst, the newest {page.descriptions()[0]!r}')


def refused(service, page, held):
    """Fills the service's viewers, then has the page reopen its tail."""
    while len(held) < 8 and (reply := service.hold_tail()):
        held.append(reply)
    check(len(held) < 8, 'the service never refused a tail')
    page.click('clear-filter')
    page.wait('the refusal', lambda: 'too many viewers' in page.text('stream-status'))
    while held:
        held.pop().close()
    # The service notices a page gone at its next keep-alive.
    page.wait('the tail back', lambda: page.stream() == 'open', timeout=40)
    check(page.text('watching') == 'every notification', page.text('watching'))


def phone(page, newest):
    page.driver.set_window_size(390, 844)
    page.wait('a phone\'s width', lambda: page.js('return innerWidth;') <= 420)
    size = page.js('const s = document.scrollingElement; '
                   'return [s.scrollWidth, s.clientWidth, innerWidth, innerHeight];')
    check(size[0] <= size[1] <= size[2], f'at a phone\'s width the page scrolls sideways: {size}')
    cell = page.driver.find_element(By.CSS_SELECTOR, '#rows > .row.event .c-desc')
    page.js('arguments[0].scrollIntoView();', cell)
    box = page.js('const r = arguments[0].getBoundingClientRect(); '
                  'return [r.left, r.right, r.top, r.bottom];', cell)
    check(cell.is_displayed() and cell.text == newest and box[0] >= 0 and box[1] <= size[2]
          and 0 <= box[2] < box[3] <= size[3], f'at a phone\'s width the newest line is at {box}')


def run(bin_dir, screenshot, workdir, log):
    service = page = listener = None
    held = []
    try:
        state_dir = os.path.join(workdir, 'state')
        service = Service(bin_dir, state_dir, log)
        listener = subprocess.Popen([os.path.join(bin_dir, 'kestrel-listen'), '--channel',
                                     service.address], env=ENV, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        page = Page(service.url, os.path.join(workdir, 'profile'))
        check(page.driver.title == 'kestrel-channeld console', f'title {page.driver.title!r}')
        live_tail(service, page, state_dir)
        markup_is_text(service, page)
        filtering(service, page)
        pausing(service, page)
        refused(service, page, held)

        lines = [('disk', 3, 0x1001, 'disk /var is 92% full'),
                 ('network', 1, 0x2001, 'link eth0 is up at 1 Gb/s'),
                 ('backup', 5, 0x3002, 'nightly backup failed: target unreachable'),
                 ('services', 2, 0x4000, 'service web1 restarted'),
                 ('auth', 0, 0x5001, 'session opened for user deploy'),
                 ('kernel', 6, 0x6001, 'out of memory: killed process 4242 (java)'),
                 ('disk', 4, 0x1002, 'disk /data is 97% full')]
        for line in lines:
            service.publish(*line)
        page.shown(lines[-1][3])
        page.wait('the counters to take in all 536 notifications', lambda: page.number(RECEIVED) == 536)
        page.wait('the plot', lambda: page.number(
            "return document.querySelector('#channels canvas').dataset.points;") >= 2)
        size = page.js('const s = document.scrollingElement; return [s.scrollWidth, s.clientWidth];')
        check(size[0] <= size[1], f'at 1400 px the page scrolls sideways: {size}')
        if screenshot:
            check(page.driver.save_screenshot(screenshot), f'could not save {screenshot}')
        phone(page, lines[-1][3])

        check(page.js('return typeof window.kestrelPwned;') == 'undefined', 'a description ran')
        errors = [e['message'] for e in page.driver.get_log('browser')
                  if 'Uncaught' in e['message'] or 'Content Security Policy' in e['message']]
        check(not errors, f'the page\'s console: {errors}')
        check(service.process.poll() is None, 'kestrel-channeld ended on its own')
    finally:
        for reply in held:
            reply.close()
        if page:
            page.close()
        stop(listener)
        if service:
            stop(service.process)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('bin_dir')
    parser.add_argument('--screenshot', metavar='PATH')
    arguments = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix='console-browser-')
    started = time.monotonic()
    try:
        with open(os.path.join(workdir, 'channeld.log'), 'w+') as log:
            try:
                run(arguments.bin_dir, arguments.screenshot, workdir, log)
            except (Failure, WebDriverException, OSError, subprocess.SubprocessError) as e:
                print(f'console_browser_test: FAILED: {e}', file=sys.stderr)
                log.seek(0)
                sys.stderr.write(''.join(log.readlines()[-20:]))
                return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f'console_browser_test: passed in {time.monotonic() - started:.1f} s')
    return 0


if __name__ == '__main__':
    sys.exit(main())
