#!/usr/bin/python3
"""A browser joins the chat through The Lounge, in headless Chromium.

Opens The Lounge at URL, connects with the form's defaults (the IRC server
and channel come from The Lounge's configuration), sends a line from the
browser and waits until a peer in the room has it whole; then the peer
answers and the page must show that line whole. The peer is one of

  --agent PROGRAM    our client window (the virtual LAN's test agent), which
                     joins the chat server on 127.0.0.1 as NAME
  --irc HOST:PORT    a plain IRC connection (for trying the harness against
                     another IRC server)

Run with Debian's python3 (/usr/bin/python3), which sees python3-selenium.
Exits 0 on success, 1 on failure with the reason on standard error.
"""

import argparse
import socket
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

WAIT_S = 30


def fail(text):
    sys.stderr.write("FAIL: %s\n" % text)
    sys.exit(1)


def step(text):
    sys.stdout.write("[lounge] %s\n" % text)
    sys.stdout.flush()


class AgentPeer:
    """Our client window, driven line by line (see tests/lan/lanagent.cpp)."""

    def __init__(self, program, name):
        self.name = name
        self.proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(args.work + "/agent.log", "w"), text=True, encoding="utf-8",
                                     bufsize=1)
        ready = self.proc.stdout.readline().strip()
        if ready != "ready":
            fail("our client did not start: %r" % ready)

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().strip()
        step("client: %s -> %s" % (command, reply))
        return reply

    def expect(self, command):
        reply = self.ask(command)
        if not reply.startswith("ok"):
            fail("our client: %r answered %r" % (command, reply))
        return reply

    def join(self):
        self.expect("join 127.0.0.1 %s" % self.name)

    def wait_line(self, author, text):
        # The IRC user's line as our client shows any public line.
        self.expect("line %s: %s" % (author, text))

    def say(self, text):
        self.expect("say %s" % text)

    def shot(self, path):
        self.expect("shot %s" % path)

    def close(self):
        try:
            self.ask("quit")
        except (BrokenPipeError, OSError):
            pass
        self.proc.wait(timeout=10)


class IrcPeer:
    """A bare IRC connection in the same channel."""

    def __init__(self, address, name, channel):
        host, port = address.rsplit(":", 1)
        self.name = name
        self.channel = channel
        self.sock = socket.create_connection((host, int(port)), timeout=WAIT_S)
        self.buffer = b""
        self.lines = []

    def send(self, line):
        self.sock.sendall(line.encode("utf-8") + b"\r\n")

    def read_until(self, predicate, what):
        end = time.monotonic() + WAIT_S
        while time.monotonic() < end:
            for line in self.lines:
                if predicate(line):
                    return line
            self.sock.settimeout(max(0.1, end - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                fail("the IRC server closed the peer's connection")
            self.buffer += chunk
            while b"\r\n" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\r\n", 1)
                line = raw.decode("utf-8")
                if line.startswith("PING "):
                    self.send("PONG " + line[5:])
                else:
                    self.lines.append(line)
        fail("the IRC peer waited in vain for %s; it got: %s" % (what, " | ".join(self.lines[-10:])))

    def join(self):
        self.send("NICK %s" % self.name)
        self.send("USER %s 0 * :peer" % self.name)
        self.read_until(lambda l: l.split(" ")[1:2] == ["001"], "the welcome")
        self.send("JOIN %s" % self.channel)
        self.read_until(lambda l: l.split(" ")[1:2] == ["366"], "the join")

    def wait_line(self, author, text):
        wanted = "PRIVMSG %s :%s" % (self.channel, text)
        self.read_until(lambda l: l.startswith(":" + author + "!") and l.endswith(wanted), "%s: %s" % (author, text))
        step("IRC peer has the browser's line")

    def say(self, text):
        self.send("PRIVMSG %s :%s" % (self.channel, text))

    def shot(self, path):
        pass

    def close(self):
        self.send("QUIT :bye")
        self.sock.close()


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,700",
                 "--lang=de-DE", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", log_output=args.work + "/chromedriver.log"),
                            options=options)


def wait(description, condition):
    end = time.monotonic() + WAIT_S
    while time.monotonic() < end:
        try:
            result = condition()
        except WebDriverException:
            result = None
        if result:
            return result
        time.sleep(0.2)
    try:
        messages = [m.get_attribute("outerHTML") for m in driver.find_elements(By.CSS_SELECTOR, "#chat .msg")]
        sys.stderr.write("last chat lines of the page:\n%s\n" % "\n".join(messages[-4:]))
        with open(args.work + "/page.html", "w") as page:
            page.write(driver.page_source)
        driver.save_screenshot(args.work + "/failed-page.png")
    except WebDriverException:
        pass
    fail("the page did not show %s in %d s" % (description, WAIT_S))


def shown_lines(driver):
    """(author, text) of each chat line in the open channel, as the page shows them."""
    lines = []
    for message in driver.find_elements(By.CSS_SELECTOR, "#chat .chan.active .msg, #chat .msg"):
        try:
            author = message.get_attribute("data-from") or ""
            content = message.find_element(By.CSS_SELECTOR, ".content").text
        except WebDriverException:
            continue
        lines.append((author, content))
    return lines


parser = argparse.ArgumentParser()
parser.add_argument("--url", required=True)
parser.add_argument("--agent")
parser.add_argument("--irc")
parser.add_argument("--channel", default="#chat")
parser.add_argument("--nick", default="browser")
parser.add_argument("--peer-name", default="anna")
parser.add_argument("--work", required=True)
parser.add_argument("--page-shot")
parser.add_argument("--client-shot")
args = parser.parse_args()

from_browser = "Hallo aus Chromium: Łódź 👍"
from_client = "Grüße zurück 👍 Łódź €"

peer = AgentPeer(args.agent, args.peer_name) if args.agent else IrcPeer(args.irc, args.peer_name, args.channel)
peer.join()
step("peer %s is in the room" % args.peer_name)

driver = browser()
try:
    driver.get(args.url)
    connect = wait("the connect form", lambda: driver.find_element(By.CSS_SELECTOR, "button[type=submit]"))
    connect.click()
    step("connect form sent")
    # The Lounge lists the channel of its defaults at once and joins it a
    # little later; the server's JOIN of our own nick is shown as a line.
    wait("the channel %s" % args.channel,
         lambda: [e for e in driver.find_elements(By.CSS_SELECTOR, ".channel-list-item")
                  if e.text.strip().startswith(args.channel)])
    for item in driver.find_elements(By.CSS_SELECTOR, ".channel-list-item"):
        if item.text.strip().startswith(args.channel):
            item.click()
    wait("our own join of %s" % args.channel,
         lambda: driver.find_elements(By.CSS_SELECTOR, '#chat .msg[data-type="join"][data-from="%s"]' % args.nick))
    step("joined %s" % args.channel)

    box = driver.find_element(By.CSS_SELECTOR, "#input")
    box.click()
    box.send_keys(from_browser)
    box.send_keys(Keys.ENTER)
    step("browser sent %r" % from_browser)
    peer.wait_line(args.nick, from_browser)

    peer.say(from_client)
    step("peer sent %r" % from_client)
    found = wait("the peer's line", lambda: [l for l in shown_lines(driver) if l[1] == from_client])
    if len([l for l in shown_lines(driver) if l[1] == from_client]) != 1:
        fail("the page shows the peer's line more than once: %r" % shown_lines(driver))
    step("page shows %r from %r" % (found[0][1], found[0][0]))
    if found[0][0].lower() != args.peer_name.lower():
        fail("the page shows the peer's line from %r, not from %r" % (found[0][0], args.peer_name))
    mine = [l for l in shown_lines(driver) if l[1] == from_browser]
    if len(mine) != 1:
        fail("the page shows the browser's own line %d times: %r" % (len(mine), shown_lines(driver)))
    time.sleep(0.5)
    if args.page_shot:
        driver.save_screenshot(args.page_shot)
        step("page picture: %s" % args.page_shot)
    if args.client_shot:
        peer.shot(args.client_shot)
finally:
    driver.quit()
    peer.close()
print("PASS: a line from Chromium reached the peer, and the peer's line is shown in Chromium")
