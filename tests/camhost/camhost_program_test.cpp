// The camhost program run as a person runs it: a child process with a time limit, against
// the camera simulator it starts in-process, its output and files checked afterwards.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"

using camsim_test::ProcessResult;
using camsim_test::RunProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "camhost-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

ProcessResult Camhost(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s,
                      std::function<bool(const std::string&)> interruptWhen = nullptr) {
    args.insert(args.begin(), CAMHOST_EXE);
    return RunProcess(args, timeout, 0ms, std::move(interruptWhen));
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The JPEG files of a channel folder, in name order.
std::vector<fs::path> Jpegs(const std::string& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".jpg") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Every picture decodes, has the size, and the pictures follow one another without a gap
// (the simulator numbers its pictures around a ring of 30).
void ExpectConsecutivePictures(const std::vector<fs::path>& files, unsigned width,
                               unsigned height) {
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files.front().filename(), "000001.jpg");
    std::optional<unsigned> previous;
    for (const auto& file : files) {
        const auto bytes = ReadBytes(file);
        const auto number = camsim::ReadFrameNumber(bytes);
        ASSERT_TRUE(number.has_value()) << file << " does not decode";
        EXPECT_EQ(camsim::JpegSize(bytes), std::make_pair(width, height)) << file;
        if (previous) {
            EXPECT_EQ(*number, (*previous + 1) % 30) << file;
        }
        previous = number;
    }
}

// ffprobe's view of an MPEG-4 elementary stream: "codec width height frames".
std::string ProbeM4v(const std::string& path) {
    auto r = RunProcess({"ffprobe", "-v", "error", "-f", "m4v", "-count_frames", "-show_entries",
                         "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0", path},
                        30s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

size_t Count(const std::string& text, const std::string& fragment) {
    size_t n = 0;
    for (size_t p = text.find(fragment); p != std::string::npos; p = text.find(fragment, p + 1)) {
        ++n;
    }
    return n;
}

// "ch0 ... N ... written to" row of the summary: the frames column.
long SummaryFrames(const std::string& out, const std::string& label) {
    const auto summary = out.find("Summary\n");
    if (summary == std::string::npos) {
        return -1;
    }
    const auto row = out.find("\n" + label + " ", summary);
    if (row == std::string::npos) {
        return -1;
    }
    char size[32];
    long frames = -1;
    if (std::sscanf(out.c_str() + row + 1 + label.size(), " %31s %ld", size, &frames) != 2) {
        return -1;
    }
    return frames;
}

}  // namespace

TEST(CamhostProgram, DemoWritesDecodablePicturesAndAPlayableStream) {
    TempDir dir;
    auto r = Camhost({"demo", "--seconds", "1.5", "--out", dir / "demo-out"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_FALSE(r.timed_out);
    // The embedded camera is identified first.
    EXPECT_EQ(r.out.rfind("== Camera, as the capability query identifies it: JVC VN-V686U, family "
                          "1, 2 inputs, 2 outputs, PTZ head (preset file JVC_0080886A8601.preset, "
                          "centre command supported), firmware cam=1.05, net=2.10, ptz=2.00\n",
                          0),
              0u)
        << r.out;

    const long jpegFrames = SummaryFrames(r.out, "MJPEG ch0");
    const long mpegFrames = SummaryFrames(r.out, "MPEG-4 ch0");
    EXPECT_GE(jpegFrames, 10) << r.out;  // 1.5 s at 10 pictures/s
    EXPECT_GE(mpegFrames, 25) << r.out;  // 1.5 s at 25 pictures/s
    EXPECT_NE(r.out.find("ffplay " + (dir / "demo-out/mpeg4/ch0/stream.m4v")), std::string::npos)
        << r.out;

    const auto jpegs = Jpegs(dir / "demo-out/mjpeg/ch0");
    EXPECT_EQ(static_cast<long>(jpegs.size()), jpegFrames);
    ExpectConsecutivePictures(jpegs, 640, 480);

    // The stream starts at a key frame with its header, so a player reads every picture.
    EXPECT_EQ(ProbeM4v(dir / "demo-out/mpeg4/ch0/stream.m4v"),
              "mpeg4,640,480," + std::to_string(mpegFrames) + "\n");
}

TEST(CamhostProgram, DigestAuthenticationWithTheRightAndAWrongPassword) {
    TempDir dir;
    const std::vector<std::string> camera = {"capture", "--simulate", "VN-X235", "--sim-auth",
                                             "digest",  "--sim-user", "bob",     "--sim-password",
                                             "s3cret",  "--user",     "bob",     "--size",
                                             "320x240", "--seconds",  "1"};
    auto args = camera;
    args.insert(args.end(), {"--password", "s3cret", "--out", dir / "good"});
    auto good = Camhost(args);
    ASSERT_EQ(good.exit_code, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("authentication digest"), std::string::npos);
    EXPECT_EQ(Count(good.out, "status code = 401"), 0u) << good.out;
    ExpectConsecutivePictures(Jpegs(dir / "good/ch0"), 320, 240);

    // The capability query comes first: a password it is refused with ends there.
    args = camera;
    args.insert(args.end(), {"--password", "wrong", "--out", dir / "bad"});
    auto unidentified = Camhost(args);
    EXPECT_EQ(unidentified.exit_code, 1) << unidentified.out << unidentified.err;
    EXPECT_NE(unidentified.out.find("camhost: the camera refused the user name or password (HTTP "
                                    "401): check --user and --password"),
              std::string::npos)
        << unidentified.out;
    EXPECT_EQ(unidentified.out.find("capturing"), std::string::npos) << unidentified.out;

    // With the model named there is no query: the driver meets the refusal.
    args = camera;
    args.insert(args.end(), {"--model", "VN-X235", "--password", "wrong", "--out", dir / "bad"});
    auto bad = Camhost(args);
    EXPECT_EQ(bad.exit_code, 1) << bad.out << bad.err;
    // The driver's own log line, with its level, then what to do about it.
    EXPECT_NE(bad.out.find("driver [1 failure] "), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("status code = 401"), std::string::npos) << bad.out;
    // The refusal makes the outcome certain: the capture ends on it, not at the connect
    // time-out, and says what to check.
    EXPECT_NE(bad.out.find("camhost: the camera refused the user name or password (HTTP 401): "
                           "check --user and --password (or --password-file, CAMHOST_PASSWORD); "
                           "stopping"),
              std::string::npos)
        << bad.out;
    EXPECT_EQ(bad.out.find("no frame within"), std::string::npos) << bad.out;
    EXPECT_EQ(SummaryFrames(bad.out, "ch0"), 0) << bad.out;
    EXPECT_TRUE(Jpegs(dir / "bad/ch0").empty());
}

// What the camera gives instead of what was asked: a picture size it cannot give ends the
// capture at once with the sizes it takes; an MPEG-4 size it does not let the user switch to (it
// keeps its own) is captured, with a warning that the files are not of the size asked for.
TEST(CamhostProgram, ASizeTheCameraDoesNotGiveIsSaidAtOnce) {
    TempDir dir;
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686"});
    const std::vector<std::string> camera = {"capture",
                                             "--address",
                                             "127.0.0.1",
                                             "--port",
                                             std::to_string(cam.Start()),
                                             "--user",
                                             "admin",
                                             "--password",
                                             cam.options().password};
    auto args = camera;
    args.insert(args.end(), {"--size", "1000x1000", "--out", dir / "big"});
    auto big = Camhost(args);
    EXPECT_EQ(big.exit_code, 1) << big.out << big.err;
    EXPECT_NE(big.out.find("camhost: the camera cannot give that picture size (it takes 320x240, "
                           "640x480 and 1280x960); stopping"),
              std::string::npos)
        << big.out;
    EXPECT_EQ(big.out.find("no frame within"), std::string::npos) << big.out;

    cam.SetLineStatus("encode(2).framesize", 401);  // a user who may not change it
    args = camera;
    args.insert(args.end(),
                {"--stream", "mpeg4", "--size", "320x240", "--seconds", "1", "--out", dir / "m4v"});
    auto other = Camhost(args);
    EXPECT_EQ(other.exit_code, 0) << other.out << other.err;
    const auto [width, height] = cam.Mpeg4SizeNow();
    ASSERT_NE(width, 320u);
    EXPECT_NE(other.out.find("camhost: warning: ch0 asked for 320x240, the camera sent " +
                             std::to_string(width) + "x" + std::to_string(height)),
              std::string::npos)
        << other.out;
}

// One picture through the module into a file: the camera's own picture, of the size asked;
// without a picture, no file (not even part of one).
TEST(CamhostProgram, ASnapshotIsOneWholePictureOrNothing) {
    TempDir dir;
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686"});
    const std::vector<std::string> camera = {"snapshot",
                                             "--address",
                                             "127.0.0.1",
                                             "--port",
                                             std::to_string(cam.Start()),
                                             "--user",
                                             "admin",
                                             "--password",
                                             cam.options().password};
    auto args = camera;
    const std::string file = dir / "gate.jpg";
    args.insert(args.end(), {"--size", "320x240", "--out", file});
    auto r = Camhost(args);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("snapshot: " + file + " (320x240, "), std::string::npos) << r.out;
    const auto bytes = ReadBytes(file);
    EXPECT_TRUE(camsim::ReadFrameNumber(bytes).has_value()) << "not the camera's picture";
    EXPECT_EQ(camsim::JpegSize(bytes), std::make_pair(320u, 240u));

    args = camera;
    args.insert(args.end(), {"--size", "1000x1000", "--out", dir / "none.jpg"});
    r = Camhost(args);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: no snapshot: the camera cannot give that picture size"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(dir / "none.jpg"));
    EXPECT_FALSE(fs::exists(dir / "none.jpg.part"));
}

TEST(CamhostProgram, CtrlCStopsCleanlyWithTheSummary) {
    TempDir dir;
    // No time limit: only the interrupt ends it, once pictures flow on both channels.
    auto r = Camhost(
        {"capture", "--simulate", "--channels", "2", "--seconds", "0", "--out", dir / "out"}, 60s,
        [](const std::string& out) {
            return out.find("ch0 receiving") != std::string::npos &&
                   out.find("ch1 receiving") != std::string::npos;
        });
    EXPECT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("interrupted"), std::string::npos) << r.out;
    // Both channels were stopped through the driver before the summary.
    EXPECT_EQ(Count(r.out, "is offline. Channel was stopped"), 2u) << r.out;
    const long frames0 = SummaryFrames(r.out, "ch0");
    EXPECT_GT(frames0, 0) << r.out;
    EXPECT_GT(SummaryFrames(r.out, "ch1"), 0) << r.out;
    // Everything received was written before the program ended.
    EXPECT_EQ(static_cast<long>(Jpegs(dir / "out/ch0").size()), frames0);
}

TEST(CamhostProgram, AnUnreachableCameraAndAnUnknownOptionAreExplained) {
    // A loopback port that nothing listens on.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    close(fd);

    TempDir dir;
    auto r =
        Camhost({"capture", "--address", "127.0.0.1", "--port", port, "--out", dir / "o"}, 30s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: 127.0.0.1:" + port + " does not answer (connection refused)"),
              std::string::npos)
        << r.out;

    auto usage = Camhost({"capture", "--simulate", "--frobnicate"}, 30s);
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_EQ(usage.err,
              "camhost capture: unknown option --frobnicate; run \"camhost capture --help\" for "
              "the options\n");
}
