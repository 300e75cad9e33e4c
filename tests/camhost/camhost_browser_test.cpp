// camhost serve's page in a real browser: headless Chromium, driven through its DevTools
// protocol over a pipe, opens the page served against a camera simulator of the test. The
// page must show the camera's identification and its video; a press on the right-arrow
// button must move the simulated head at the chosen speed (and its release stop it); a click
// on the picture centres the head there; the digital I/O starts only when asked, after which
// an input the simulator flips changes the input's lamp and the outputs switch, say their
// state in words, and a switch the camera refuses says so and clears. Skipped where
// Chromium is missing or cannot start.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "camhost/serve_process.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The Chromium program: $CHROMIUM, else the Debian package's.
std::string ChromiumPath() {
    if (const char* path = std::getenv("CHROMIUM"); path != nullptr && *path != '\0') {
        return path;
    }
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return {};
}

// The text of a JSON string value of the message: the first "key":"..." in it.
std::optional<std::string> StringField(const std::string& message, const std::string& key) {
    const std::string open = "\"" + key + "\":\"";
    size_t at = message.find(open);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    std::string text;
    for (at += open.size(); at < message.size(); ++at) {
        const char c = message[at];
        if (c == '"') {
            return text;
        }
        if (c != '\\' || at + 1 >= message.size()) {
            text += c;
            continue;
        }
        const char e = message[++at];
        switch (e) {
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case 'u':  // only ASCII is expected back; others become '?'
                if (at + 4 < message.size()) {
                    const long code = std::strtol(message.substr(at + 1, 4).c_str(), nullptr, 16);
                    text += code < 0x80 ? static_cast<char>(code) : '?';
                    at += 4;
                }
                break;
            default:
                text += e;
        }
    }
    return std::nullopt;
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c == '\n' ? ' ' : c;
    }
    return out + "\"";
}

std::string Base64Decode(const std::string& text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Headless Chromium with its DevTools protocol on a pipe (it reads fd 3, writes fd 4; each
// message is JSON ended by a NUL), one page attached.
class Browser {
  public:
    ~Browser() {
        if (m_pid > 0) {
            Send("Browser.close", "{}", false);
            close(m_toBrowser);
            // It ends on its own after Browser.close; the pipe's end tells when.
            WaitForEnd(5s);
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            close(m_fromBrowser);
        }
        std::error_code ignored;
        fs::remove_all(m_profile, ignored);
    }

    // Starts the browser and opens an empty page; the reason when it cannot.
    std::string Start(const std::string& program) {
        signal(SIGPIPE, SIG_IGN);  // a browser that died must not end the test with it
        m_profile = fs::temp_directory_path() / ("camhost-browser-" + std::to_string(getpid()));
        fs::remove_all(m_profile);
        fs::create_directories(m_profile);
        int toBrowser[2], fromBrowser[2];
        if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) {
            return "no pipes";
        }
        std::vector<std::string> args = {program,
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--remote-debugging-pipe",
                                         "--window-size=1000,1000",
                                         "--user-data-dir=" + m_profile.string(),
                                         "about:blank"};
        int error = 0;
        m_pid = camhost_test::Spawn(args, {{3, toBrowser[0]}, {4, fromBrowser[1]}}, error);
        close(toBrowser[0]);
        close(fromBrowser[1]);
        m_toBrowser = toBrowser[1];
        m_fromBrowser = fromBrowser[0];
        if (m_pid < 0) {
            return std::string("cannot run it: ") + std::strerror(error);
        }
        const auto target = Call("Target.createTarget", R"({"url":"about:blank"})", false, 30s);
        const auto targetId = StringField(target, "targetId");
        if (!targetId) {
            return "it gave no page (" + target.substr(0, 200) + ")";
        }
        const auto attached =
            Call("Target.attachToTarget", R"({"targetId":")" + *targetId + R"(","flatten":true})",
                 false, 10s);
        const auto session = StringField(attached, "sessionId");
        if (!session) {
            return "it did not attach to its page";
        }
        m_session = *session;
        return {};
    }

    // Sends a command (to the page's session when onPage) and returns its answer, "" after the
    // time-out.
    std::string Call(const std::string& method, const std::string& params, bool onPage = true,
                     std::chrono::milliseconds timeout = 20s) {
        const int id = Send(method, params, onPage);
        const std::string prefix = "{\"id\":" + std::to_string(id) + ",";
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (size_t end; (end = m_buffer.find('\0')) != std::string::npos;) {
                std::string message = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                if (message.rfind(prefix, 0) == 0) {
                    return message;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_fromBrowser, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return {};
            }
            char block[65536];
            const ssize_t n = read(m_fromBrowser, block, sizeof block);
            if (n <= 0) {
                return {};
            }
            m_buffer.append(block, static_cast<size_t>(n));
        }
    }

    // Evaluates JavaScript in the page (a promise is awaited); the string it gives, or the
    // answer as it came when it gave none.
    std::string Evaluate(const std::string& expression, std::chrono::milliseconds timeout = 20s) {
        const std::string answer = Call("Runtime.evaluate",
                                        R"({"expression":)" + JsonText(expression) +
                                            R"(,"awaitPromise":true,"returnByValue":true})",
                                        true, timeout);
        return StringField(answer, "value").value_or("(no value: " + answer.substr(0, 300) + ")");
    }

    // Waits in the page until the condition holds (checked on every animation frame, at most
    // `seconds`), then gives `value`; "timeout: " + value otherwise.
    std::string WaitInPage(const std::string& condition, const std::string& value,
                           int seconds = 15) {
        return Evaluate("new Promise((resolve) => { const end = Date.now() + " +
                            std::to_string(seconds * 1000) +
                            "; const check = () => { let ok = false; try { ok = (" + condition +
                            "); } catch (e) {} if (ok || Date.now() > end) resolve((ok ? '' : "
                            "'timeout: ') + (" +
                            value + ")); else requestAnimationFrame(check); }; check(); })",
                        std::chrono::seconds(seconds + 5));
    }

    void Mouse(const std::string& type, double x, double y) {
        Call("Input.dispatchMouseEvent", R"({"type":")" + type + R"(","x":)" + std::to_string(x) +
                                             R"(,"y":)" + std::to_string(y) +
                                             R"(,"button":"left","buttons":1,"clickCount":1})");
    }

  private:
    int Send(const std::string& method, const std::string& params, bool onPage) {
        const int id = ++m_lastId;
        std::string message =
            "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
        if (onPage) {
            message += ",\"sessionId\":\"" + m_session + "\"";
        }
        message += "}";
        message.push_back('\0');
        for (size_t sent = 0; sent < message.size();) {
            const ssize_t n = write(m_toBrowser, message.data() + sent, message.size() - sent);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        return id;
    }
    void WaitForEnd(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char block[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_fromBrowser, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
                read(m_fromBrowser, block, sizeof block) <= 0) {
                return;
            }
        }
    }

    pid_t m_pid = -1;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    int m_lastId = 0;
    std::string m_buffer;
    std::string m_session;
    fs::path m_profile;
};

}  // namespace

// The centre of an element of the page, in the page's coordinates: "X Y".
std::pair<double, double> CentreOf(Browser& browser, const std::string& selector) {
    const std::string where = browser.Evaluate(
        "(() => { const r = document.querySelector('" + selector +
        "').getBoundingClientRect(); return (r.left + r.width / 2) + ' ' + (r.top + r.height / "
        "2); })()");
    return {std::atof(where.c_str()), std::atof(where.substr(where.find(' ') + 1).c_str())};
}

// A press and release of the right-arrow button; the speed the head was moved at.
unsigned PressRight(Browser& browser, camsim::CameraSimulator& cam) {
    const auto [x, y] = CentreOf(browser, "#move-right");
    cam.ClearRequests();
    browser.Mouse("mousePressed", x, y);
    EXPECT_TRUE(cam.WaitForRequest("camera.motion.pan.status=start", 10s));
    EXPECT_EQ(cam.Head().pan.mode, "right");
    EXPECT_TRUE(cam.Head().pan.moving);
    browser.Mouse("mouseReleased", x, y);
    EXPECT_TRUE(cam.WaitForRequest("camera.motion.pan.status=stop", 10s));
    EXPECT_FALSE(cam.Head().pan.moving);
    return cam.Head().pan.speed;
}

bool OutputWritten(camsim::CameraSimulator& cam) {
    for (const auto& write : cam.Writes()) {
        if (write.name.rfind("peripheral.output_pin.", 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(CamhostBrowser, ThePageShowsVideoMovesTheHeadAndDrivesThePins) {
    const std::string chromium = ChromiumPath();
    if (chromium.empty()) {
        GTEST_SKIP() << "Chromium is not installed (apt-get install chromium; or set CHROMIUM to "
                        "its path): the page was not tried in a browser";
    }
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686"});
    const uint16_t camPort = cam.Start();
    camhost_test::ServeProcess serve;
    ASSERT_TRUE(serve.Start(CAMHOST_EXE,
                            {"--address", "127.0.0.1", "--port", std::to_string(camPort), "--user",
                             "admin", "--password", cam.options().password},
                            30s))
        << serve.Output();

    Browser browser;
    if (const std::string why = browser.Start(chromium); !why.empty()) {
        GTEST_SKIP() << "Chromium (" << chromium << ") cannot run here: " << why
                     << "; the page was not tried in a browser";
    }
    const std::string navigated = browser.Call("Page.navigate", R"({"url":")" + serve.url + "\"}");
    ASSERT_NE(navigated.find("frameId"), std::string::npos) << navigated;

    // The identification, and the video: the page's script ran, the picture stream shows
    // pictures, and the event stream tells the channel receives.
    const std::string shown = browser.WaitInPage(
        "document.body.dataset.ready === 'true' && document.getElementById('video').naturalWidth "
        "> 0 && document.getElementById('state').textContent === 'receiving'",
        "document.getElementById('camera-line').textContent + ' | ' + "
        "document.getElementById('id-list').textContent + ' | ' + "
        "document.getElementById('video').naturalWidth + 'x' + "
        "document.getElementById('video').naturalHeight");
    EXPECT_EQ(shown.rfind("JVC VN-V686U at 127.0.0.1:", 0), 0u) << shown;
    EXPECT_NE(shown.find("Firmwarecam=1.05, net=2.10, ptz=2.00"), std::string::npos) << shown;
    EXPECT_NE(shown.find("| 640x480"), std::string::npos) << shown;
    // The browser drew the picture: its pixels are not all alike.
    const std::string drawn = browser.Evaluate(
        "(() => { const v = document.getElementById('video'); const c = "
        "document.createElement('canvas'); c.width = 64; c.height = 48; const g = "
        "c.getContext('2d'); g.drawImage(v, 0, 0, 64, 48); const d = g.getImageData(0, 0, 64, "
        "48).data; let min = 255, max = 0; for (let i = 0; i < d.length; i += 4) { min = "
        "Math.min(min, d[i + 1]); max = Math.max(max, d[i + 1]); } return String(max - min); "
        "})()");
    EXPECT_GT(std::atoi(drawn.c_str()), 100) << drawn;

    // The right-arrow button, pressed and released with the mouse, at the default speed and
    // then at the fastest the speed control gives.
    const unsigned normal = PressRight(browser, cam);
    browser.Evaluate(
        "(() => { const s = document.getElementById('speed'); s.value = '16'; "
        "s.dispatchEvent(new Event('input')); return s.value; })()");
    EXPECT_GT(PressRight(browser, cam), normal);

    // A click on the picture centres the head on that point, in the picture's pixels.
    const auto [vx, vy] = CentreOf(browser, "#video");
    browser.Mouse("mousePressed", vx, vy);
    browser.Mouse("mouseReleased", vx, vy);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.clickoncenter", 10s)) << serve.Output();
    ASSERT_FALSE(cam.Head().clicks.empty());
    int cx = 0, cy = 0;
    ASSERT_EQ(std::sscanf(cam.Head().clicks.back().c_str(), "s%d-s%d", &cx, &cy), 2);
    EXPECT_NEAR(cx, 320, 2);  // the middle of a 640x480 picture
    EXPECT_NEAR(cy, 240, 2);

    // The digital I/O waits for the user: nothing is written to the outputs until they start
    // it, after reading that starting sets every output to break.
    EXPECT_EQ(browser.Evaluate("document.getElementById('io-start-box').hidden + ' ' + "
                               "document.getElementById('output-1').disabled + ' ' + "
                               "document.getElementById('io-start-box').textContent.includes("
                               "'every output to break')"),
              "false true true");
    EXPECT_FALSE(OutputWritten(cam));
    browser.Evaluate("document.getElementById('io-start').click(), 'clicked'");
    EXPECT_EQ(browser.WaitInPage("document.getElementById('io-start-box').hidden && "
                                 "!document.getElementById('output-1').disabled",
                                 "document.getElementById('output-1').textContent"),
              "Output 1: break (off)");
    EXPECT_TRUE(OutputWritten(cam));

    // An input the camera flips: its lamp changes (the driver reads the inputs every 2 s).
    EXPECT_EQ(browser.WaitInPage("document.getElementById('input-2').dataset.state === 'break'",
                                 "document.getElementById('input-2').getAttribute('aria-label')"),
              "Input 2: break");
    cam.SetInputPin(2, true);
    EXPECT_EQ(browser.WaitInPage("document.getElementById('input-2').dataset.state === 'make'",
                                 "document.getElementById('input-2').getAttribute('aria-label')"),
              "Input 2: make");

    // An output switched on says so in words; one the camera refuses stays off, and the page
    // says why until an action goes well.
    browser.Evaluate("document.getElementById('output-1').click(), 'clicked'");
    EXPECT_EQ(browser.WaitInPage("document.getElementById('output-1').textContent.includes('make')",
                                 "document.getElementById('output-1').textContent"),
              "Output 1: make (on)");
    EXPECT_EQ(cam.OutputPin(1)->status, "make");
    cam.SetLineStatus("peripheral.output_pin.pin(2).status", 500);
    browser.Evaluate("document.getElementById('output-2').click(), 'clicked'");
    const std::string refused =
        browser.WaitInPage("document.getElementById('status').textContent !== ''",
                           "document.getElementById('status').textContent + ' | ' + "
                           "document.getElementById('output-2').textContent");
    EXPECT_NE(refused.find("output 2 was not set to make: the camera refused it"),
              std::string::npos)
        << refused;
    EXPECT_NE(refused.find("| Output 2: break (off)"), std::string::npos) << refused;
    cam.ClearLineStatus();
    browser.Evaluate("document.getElementById('output-1').click(), 'clicked'");
    EXPECT_EQ(browser.WaitInPage("document.getElementById('status').textContent === ''",
                                 "document.getElementById('output-1').textContent"),
              "Output 1: break (off)");

    // The page as it looks now: video, identification, the lit lamp (CAMHOST_SCREENSHOT=FILE
    // keeps it, e.g. for the README).
    const std::string screenshot = Base64Decode(
        StringField(browser.Call("Page.captureScreenshot", R"({"format":"png"})"), "data")
            .value_or(""));
    EXPECT_EQ(screenshot.substr(0, 8), "\x89PNG\r\n\x1a\n");
    if (const char* path = std::getenv("CAMHOST_SCREENSHOT"); path != nullptr && *path) {
        std::ofstream(path, std::ios::binary) << screenshot;
    }

    // A page closed while a button is held stops the motion it started.
    const std::string zoom = browser.Evaluate(
        "(() => { const r = document.querySelector('[data-action=zoom][data-to=in]')"
        ".getBoundingClientRect(); return (r.left + r.width / 2) + ' ' + (r.top + r.height / 2); "
        "})()");
    browser.Mouse("mousePressed", std::atof(zoom.c_str()),
                  std::atof(zoom.substr(zoom.find(' ') + 1).c_str()));
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.zoom.status=start", 10s)) << serve.Output();
    browser.Call("Page.navigate", R"({"url":"about:blank"})");
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.zoom.status=stop", 10s)) << serve.Output();
    EXPECT_FALSE(cam.Head().zoom.moving);

    EXPECT_EQ(serve.Stop(10s), std::optional<int>(0)) << serve.Output();
}
