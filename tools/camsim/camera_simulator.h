#pragma once
// camsim: a simulated JVC VN-V / VN-X network camera on loopback, for tests, the demo and the
// benchmarks.
//
// The simulator is an HTTP server (cpp-httplib) bound to 127.0.0.1 that answers the camera's
// parameter resource "/api/param?" and its video resource "/api/video?" the way the cameras'
// makers document them: one request per connection (every answer says "Connection: close"),
// HTTP Basic authentication on parameter requests (Digest as an option) with the three users
// admin, operator and user and their rights, none on video requests; plain-text answers for
// "Accept: text/plain" and an HTML page otherwise; write answers "name&200 OK" without the
// value ("name&202 Accepted(...)" for the settings that last once saved); MJPEG at the
// documented frame rates only, with the documented multipart framing or the first-picture
// Content-Length form; JPEG pictures with two comment segments and restart markers; and an
// MPEG-4 visual elementary stream with VOL, user data and GOV before every I-VOP, starting
// wherever the encoder is. It keeps a parameter store and validates the values written to it,
// moves a simple PTZ head and keeps digital pins. It shares no code with the module's own
// parameter protocol (src/http/), so a fault in one is not mirrored in the other.
//
// Everything here is thread-safe: a test may read the observations and switch faults from any
// thread while the server answers requests on its own threads.
//
// Typical use:
//
//     camsim::CameraSimulator cam({.profile = "VN-V686"});
//     uint16_t port = cam.Start();                     // 127.0.0.1:port
//     ... the admin's credentials: cam.options().user, cam.options().password ...
//     ... point the module at 127.0.0.1:port ...
//     cam.SetInputPin(1, true);                        // "make"
//     EXPECT_EQ(cam.GetParam("encode(1).framesize"), "vga");
//     cam.Faults().SetEndStreamAfter(10);
//     cam.Stop();                                      // also done by the destructor
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace camsim {

// ---------------------------------------------------------------------------------------------
// Options and profiles

enum class AuthMode { kNone, kBasic, kDigest };

// Parses "none", "basic" or "digest" (any case); nullopt for anything else.
std::optional<AuthMode> ParseAuthMode(const std::string& text);
const char* AuthModeName(AuthMode mode);

struct Options {
    // Camera profile: "VN-V686" (family 1 PTZ dome), "VN-V686B" (the same, later model),
    // "VN-V685" (family 1 PTZ dome), or a family-2 box camera "VN-X" followed by digits (e.g.
    // "VN-X235"). Case-insensitive. See KnownProfiles().
    std::string profile = "VN-V686";
    // Authentication of parameter requests (video requests never need any): Basic, as the
    // camera does; Digest as an option; none for tests about something else.
    AuthMode auth = AuthMode::kBasic;
    // The admin's name and password. An empty password is the profile's default password
    // (ProfileInfo::default_password); options() answers the password in force.
    std::string user = "admin";
    std::string password;
    // The passwords of the users "operator" and "user"; empty: the profile's default.
    std::string operator_password;
    std::string user_password;
    std::string realm = "VN-Camera";
    // Answer parameter requests as an HTML page whatever the request's Accept line says.
    bool html = false;
    // Pictures per second of an MJPEG stream whose request names no frame rate (the camera's
    // behaviour then is not documented; this is the simulator's own choice).
    unsigned default_jpeg_fps = 10;
    // MPEG-4 streams start wherever the encoder is, mostly in the middle of a group of
    // pictures, as a camera's do. False: every stream starts at an I-VOP.
    bool mpeg4_mid_gop = true;
    // Pictures in the JPEG ring of each picture size (frame numbers 0 .. ring-1).
    unsigned jpeg_ring_size = 30;
    // JPEG quality (1..100) of the ring pictures.
    int jpeg_quality = 80;
    // Folder with the MPEG-4 fixtures camsim_WxH.m4v; empty: DefaultDataDir().
    std::string data_dir;
    // Digital pin counts; -1 keeps the profile's counts (at most 15 each).
    int input_pins = -1;
    int output_pins = -1;
    // Address to bind; loopback by default. Port 0 picks a free port.
    std::string bind_address = "127.0.0.1";
    uint16_t port = 0;
};

struct ProfileInfo {
    std::string name;  // as accepted by Options::profile
    int family;        // 1: encode(N).framesize; 2: system.mode patterns
    bool ptz;          // has a PTZ head (camera.* parameters)
    int input_pins;
    int output_pins;
    std::string mac;               // network.interface.mac
    std::string sys_revision;      // system.software.revision(sys) (PTZ firmware), "" without PTZ
    std::string model;             // the name the camera gives itself (system.model, "VN-V686U")
    std::string default_password;  // of all three users until changed
};

// The three user names of a camera (the admin's may be renamed with Options::user).
enum class Role { kAdmin, kOperator, kUser };

// The built-in profiles ("VN-X235" stands for every "VN-X<digits>" model).
std::vector<ProfileInfo> KnownProfiles();
// The profile for a name, or nullopt when the name is not a known model.
std::optional<ProfileInfo> FindProfile(const std::string& name);

// The folder of the MPEG-4 fixtures when Options::data_dir is empty: the CAMSIM_DATA_DIR
// environment variable, else the installed folder relative to the running program
// (bin/../share/jvc_ipcapture/camsim) when it holds the fixtures, else the folder compiled in
// (tests/data of the source tree).
std::string DefaultDataDir();

// ---------------------------------------------------------------------------------------------
// Observations

struct RequestRecord {
    uint64_t sequence = 0;         // 1, 2, ... in arrival order
    uint64_t connection = 0;       // 1, 2, ... in the order the TCP connections were accepted
    std::string method;            // "GET"
    std::string target;            // path with query, as sent (e.g. "/api/param?system.mode")
    std::string path;              // the path alone ("/api/param")
    bool had_credentials = false;  // an Authorization header came with it
    std::string auth_scheme;       // its scheme in lower case ("basic", "digest"), "" if none
    bool authorized = false;       // the credentials were accepted (true when none are needed)
    std::string user;              // the user the credentials name, when accepted
    std::string accept;            // the request's Accept line ("" when none came)
    int status = 0;                // the HTTP status answered (200 for a started stream)
};

struct PtzAxisState {
    bool moving = false;
    std::string mode;     // last mode written: pan left/right, tilt up/down, zoom in/out
    unsigned speed = 0;   // last speed written (1..100), 0 when never written
    uint64_t starts = 0;  // times status=start was written
    uint64_t stops = 0;   // times status=stop was written
};

struct HeadState {
    PtzAxisState pan, tilt, zoom, focus;  // focus.mode is far/near/auto
    std::string zoom_position = "0.00";   // camera.motion.zoom
    unsigned position_speed = 0;          // camera.motion.position.speed
    int last_goto = -1;                   // position last gone to, -1 when none
    uint64_t gotos = 0;
    std::vector<std::string> clicks;  // camera.motion.clickoncenter values, in order (last 100)
};

struct PresetState {
    bool registered = false;
    std::string comment;  // decoded (the module sends "%20" for blanks)
};

struct OutputPinState {
    std::string status = "break";  // "make" or "break"
    std::string duration = "0";
    uint64_t writes = 0;  // status writes received
};

// One write to a parameter over HTTP, in arrival order (writes that were refused included).
struct WriteRecord {
    std::string name;
    std::string value;  // decoded
    int line_status = 0;
};

// ---------------------------------------------------------------------------------------------
// Faults, switched at run time. A default-constructed FaultSettings switches everything off.

struct FaultSettings {
    // Close the listening socket: new connections are refused (ECONNREFUSED). Streams and
    // connections already open go on.
    bool refuse_connections = false;
    // Answer every request with this HTTP status and an empty body (0: off).
    int http_status = 0;
    // Answer the video requests alone (/api/video) with this HTTP status and an empty body,
    // after authentication (0: off).
    int video_status = 0;
    // Answer every request with 401 and a fresh challenge, whatever the credentials.
    bool unauthorized_forever = false;
    // Accept connections but never read or answer on them (until switched off, the client
    // goes or the simulator stops; a connection held this way is served once switched off).
    bool never_answer = false;
    // Video streams (MJPEG and MPEG-4), counted in pictures of each stream (-1: off):
    int stall_stream_after = -1;  // stop sending after N pictures, keep the connection open
    int end_stream_after = -1;    // close the stream after N pictures
    // Close the stream in the middle of a picture: after N whole pictures, the first half of
    // the next one's bytes (an MJPEG part's headers announcing the whole picture), then the
    // connection is closed.
    int cut_stream_after = -1;
    // MJPEG/MPEG-4: cut every Nth picture of a stream (1: all) to half its bytes, the
    // part's Content-Length telling the cut size; 0: off.
    int truncate_every = 0;
    // This many garbage bytes (no 0xFF, no zero byte) after every picture: in MJPEG after a
    // part's data, before the next boundary; in MPEG-4 between one picture and the next
    // start code.
    size_t garbage_bytes = 0;
    // Limit each video stream to this many bytes per second (0: unlimited). Answers to
    // parameter requests are sent at the same rate, headers included.
    size_t stream_bytes_per_second = 0;
    // Answer every request with a status line and then header lines, one every 50 ms, that
    // never end (no blank line): until the fault is switched off (the connection is then
    // closed), the client goes or the simulator stops. Applies to requests on connections
    // already open too. Such a request is logged on arrival with status 0.
    bool endless_headers = false;
    // Start MPEG-4 streams in the middle of a group of pictures (a P-picture, no header),
    // also when Options::mpeg4_mid_gop is false.
    bool mpeg4_mid_gop = false;
    // Firmware before revision 1.02, which has no boundary option: every MJPEG stream comes in
    // the first-picture Content-Length form, as "boundary=off" gives on later firmware.
    bool old_firmware = false;
    // Refuse an MJPEG request whose frame rate is not one the camera lists, with HTTP 400.
    // Off: it is served at the nearest listed rate below (the camera's behaviour is not
    // documented; these are the two likely ones).
    bool refuse_unlisted_framerate = false;
    // Data lines for these parameter names answer with this line status (e.g. 500) and an
    // empty value, for reads and writes; a write is then not applied.
    std::map<std::string, int> line_status;
    // Hold parameter requests whose query contains this text unanswered, also on connections
    // already open (unlike never_answer): until the fault is switched off (the request is then
    // served), the client goes, or the simulator stops. A held request is logged when it
    // arrives, with status 0 (WaitForRequest sees it), and again with its status if it is
    // served afterwards. Empty: off.
    std::string hold_param;
    // Answer parameter requests whose query contains this text with the whole body's
    // Content-Length but only its first half, then close the connection. Empty: off.
    std::string cut_param;
};

// ---------------------------------------------------------------------------------------------
// JPEG test pictures

// One picture of the ring: a real baseline JPEG (YCbCr 4:2:0) of a moving test pattern whose
// top rows carry the frame number in big black/white blocks (see ReadFrameNumber). Laid out
// as the camera's are: SOI, APP0, two comment segments (the first with fixed-length,
// zero-padded "name = value" items: type, Timestamp, pan, tilt, zoom, alarm), DHT, DQT, DRI,
// SOF0, SOS and a scan with restart markers, EOI.
struct JpegPicture {
    unsigned frame_number = 0;
    unsigned width = 0, height = 0;
    std::vector<uint8_t> bytes;
};

// Decodes a JPEG (libjpeg-turbo) and reads the frame number back from its blocks; nullopt
// when the picture does not decode or the check blocks disagree.
std::optional<unsigned> ReadFrameNumber(const uint8_t* jpeg, size_t size);
std::optional<unsigned> ReadFrameNumber(const std::vector<uint8_t>& jpeg);

// Picture size (width, height) of a JPEG's start-of-frame header; nullopt when not found.
std::optional<std::pair<unsigned, unsigned>> JpegSize(const std::vector<uint8_t>& jpeg);

// ---------------------------------------------------------------------------------------------

class CameraSimulator {
  public:
    explicit CameraSimulator(Options options = {});
    ~CameraSimulator();  // Stop()
    CameraSimulator(const CameraSimulator&) = delete;
    CameraSimulator& operator=(const CameraSimulator&) = delete;

    // Encodes the JPEG rings (once per process and size), loads the MPEG-4 fixtures, binds and
    // starts serving. Returns the port. Throws std::runtime_error when the profile is unknown,
    // a fixture is missing or the address cannot be bound. Start after Stop is not supported.
    uint16_t Start();
    // Ends every connection and stream and joins all threads; returns promptly (well under a
    // second) even with open streams and stalled connections. Safe to call twice.
    void Stop();

    uint16_t port() const;
    std::string address() const;   // "127.0.0.1"
    std::string base_url() const;  // "http://127.0.0.1:PORT"
    const Options& options() const;
    const ProfileInfo& profile() const;

    // --- parameter store (the values as the camera answers them) ---
    // Value of a parameter, nullopt when the camera has no such parameter.
    std::optional<std::string> GetParam(const std::string& name) const;
    // Sets a parameter directly (no validation, read-only names included); creates it when
    // absent. For example SetParam("system.software.revision(sys)", "1.03").
    void SetParam(const std::string& name, const std::string& value);
    // Removes a parameter, so that it answers 404.
    void RemoveParam(const std::string& name);
    std::map<std::string, std::string> Params() const;
    std::vector<WriteRecord> Writes() const;  // last 10,000 writes over HTTP
    // Times "encode(N).status=save" was received for encoder 1 or 2.
    uint64_t SaveCount(int encoder) const;

    // --- digital pins (1-based, as the camera numbers them) ---
    void SetInputPin(int pin, bool make);         // the pin reads "make" (true) or "break"
    std::optional<bool> InputPin(int pin) const;  // nullopt for a pin the camera lacks
    std::optional<OutputPinState> OutputPin(int pin) const;

    // --- PTZ head (family 1 only) ---
    HeadState Head() const;
    PresetState Preset(int position) const;  // position 0..99

    // --- requests and connections ---
    std::vector<RequestRecord> Requests() const;  // last 10,000 requests
    void ClearRequests();
    uint64_t ConnectionsAccepted() const;  // TCP connections accepted since Start
    int OpenStreams() const;               // video streams being served now
    uint64_t PicturesSent() const;         // pictures (JPEG or MPEG-4) sent, all streams

    // --- video sources ---
    // The ring of JPEG pictures for a size (320x240, 640x480, 1280x960); empty for other sizes.
    // Picture k of an MJPEG stream is ring[(start + k) % ring.size()] byte for byte (before
    // any truncation fault), with consecutive frame numbers.
    std::vector<JpegPicture> JpegRing(unsigned width, unsigned height) const;
    // The picture size the MJPEG and MPEG-4 streams use now, from encode(N).framesize
    // (family 1) or system.mode (family 2).
    std::pair<unsigned, unsigned> JpegSizeNow() const;
    std::pair<unsigned, unsigned> Mpeg4SizeNow() const;
    // The MPEG-4 fixture bytes for a size (320x240, 640x480, 704x576); empty for others.
    std::vector<uint8_t> Mpeg4Fixture(unsigned width, unsigned height) const;
    // MPEG-4 pictures per second now (encode(2).framerate).
    double Mpeg4FrameRate() const;

    // --- switches and faults ---
    void SetHtml(bool html);
    FaultSettings GetFaults() const;
    void SetFaults(const FaultSettings& faults);  // replaces all
    void ClearFaults();
    void SetRefuseConnections(bool on);
    void SetHttpStatusFault(int status);   // 0: off
    void SetVideoStatusFault(int status);  // 0: off
    void SetUnauthorizedForever(bool on);
    void SetNeverAnswer(bool on);
    void SetStallStreamAfter(int pictures);           // -1: off
    void SetEndStreamAfter(int pictures);             // -1: off
    void SetTruncateEvery(int n);                     // 0: off
    void SetGarbageBytes(size_t bytes);               // 0: off
    void SetStreamByteRate(size_t bytes_per_second);  // 0: off
    void SetMpeg4MidGop(bool on);
    void SetOldFirmware(bool on);
    void SetRefuseUnlistedFrameRate(bool on);
    void SetLineStatus(const std::string& name, int status);  // status 0 removes it
    void SetHoldParam(const std::string& query_substring);    // empty: off
    void SetCutParam(const std::string& query_substring);     // empty: off
    void SetCutStreamAfter(int pictures);                     // -1: off
    void SetEndlessHeaders(bool on);
    // Ends every open connection and stream at once, as a camera that restarts does (the
    // listening socket stays as it is). Combined with SetRefuseConnections(true), a camera
    // that has gone away; with SetNeverAnswer(true), one whose next connections hang.
    void DropConnections();
    void ClearLineStatus();

    // Waits until a request whose target contains the text has arrived (woken as each request
    // is logged), up to the timeout; true if it came. Handy for "the module has sent X" checks.
    bool WaitForRequest(const std::string& target_substring,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Waits until exactly count video streams are open (OpenStreams), up to the timeout; true
    // if that happened. Serves both "the clients' streams have started" and "all have ended".
    bool WaitForOpenStreams(int count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Waits until at least count TCP connections have been accepted since Start
    // (ConnectionsAccepted), up to the timeout; true if they were.
    bool WaitForConnections(uint64_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace camsim
