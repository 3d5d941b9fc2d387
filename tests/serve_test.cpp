// faceprobe-serve, the real binary on an ephemeral port of 127.0.0.1, talked
// to by a real HTTP client: its answers against faceprobe's on the same
// bytes, request errors, hostile clients, load beyond its queue, shutdown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/http_client.h"
#include "tests/support.h"

namespace {

using nlohmann::json;

// The service, started in the run folder (beside the data files) on a free
// port, stopped with SIGTERM when the test is done with it.
class Service {
 public:
  // `temp_dir`, when given, is the service's TMPDIR.
  explicit Service(std::vector<std::string> args = {}, const std::string& temp_dir = "") {
    args.insert(args.begin(), {FACEPROBE_SERVE_BIN, "--listen", "127.0.0.1:0"});
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      const int err = ::open(err_.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, STDERR_FILENO);
      if (chdir(fs::path(FACEPROBE_SERVE_BIN).parent_path().c_str()) != 0) _exit(127);
      if (!temp_dir.empty()) setenv("TMPDIR", temp_dir.c_str(), 1);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    port_ = read_port(out[0]);
    close(out[0]);
  }
  ~Service() {
    if (pid_ > 0 && !stopped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  int port() const { return port_; }
  HttpClient client() const { return HttpClient{port_}; }
  // SIGTERM, then the exit status (or 128 + signal), waiting at most 30 s.
  int stop() {
    kill(pid_, SIGTERM);
    stopped_ = true;
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    return -1;
  }
  std::string log() const { return read_file(err_.path()); }

 private:
  // The port from the line it prints once it listens; 10 s at most.
  static int read_port(int fd) {
    std::string text;
    char buffer[256];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(R"(listening on http://127\.0\.0\.1:(\d+))"))) {
      ADD_FAILURE() << "the service did not say where it listens: " << text;
      return 0;
    }
    return std::stoi(m[1]);
  }

  struct ErrFile {
    ScratchDir dir;
    fs::path path() const { return dir / "stderr"; }
  } err_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool stopped_ = false;
};

std::string base64_decode(const std::string& text) {
  std::string out;
  uint32_t group = 0;
  int bits = 0;
  for (char c : text) {
    const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = c ? std::strchr(digits, c) : nullptr;
    if (!at) continue;  // '=' padding
    group = group << 6 | static_cast<uint32_t>(at - digits);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((group >> bits) & 0xFF);
    }
  }
  return out;
}

// faceprobe on a file: standard output and the normalised JPEG it wrote.
struct Reference {
  std::string out;
  std::string jpeg;
};

Reference faceprobe_on(const fs::path& dir, const std::string& name) {
  link_data_files(dir);
  const RunResult r = run_program(dir, {name});
  const std::string stem = name.substr(0, name.rfind('.'));
  const fs::path jpeg = dir / (stem + "_resize.jpg");
  return {r.out, fs::exists(jpeg) ? read_file(jpeg) : ""};
}

// A JPEG whose EXIF says to turn it a quarter clockwise for display, as phones
// write them.
std::string exif_rotated(const std::string& jpeg) {
  const std::string tiff = std::string("II*\0\x08\0\0\0", 8) + std::string("\x01\0", 2) +
                           std::string("\x12\x01\x03\0\x01\0\0\0\x06\0\0\0", 12) +
                           std::string("\0\0\0\0", 4);
  const std::string payload = std::string("Exif\0\0", 6) + tiff;
  const size_t length = payload.size() + 2;
  std::string app1 = std::string("\xFF\xE1", 2) + static_cast<char>(length >> 8) +
                     static_cast<char>(length & 0xFF) + payload;
  return jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}

std::string encoded(const cv::Mat& image, const std::string& ext) {
  std::vector<unsigned char> bytes;
  cv::imencode(ext, image, bytes);
  return std::string(bytes.begin(), bytes.end());
}

// The photos and their variants a caller may send, by file name.
std::vector<std::pair<std::string, std::string>> uploads() {
  std::vector<std::pair<std::string, std::string>> list;
  for (const char* name : {"grace_hopper.jpg", "astronaut.png", "einstein.jpg"}) {
    list.push_back({name, read_file(test_photo(name))});
  }
  const cv::Mat grace = cv::imread(test_photo("grace_hopper.jpg").string());
  cv::Mat mirrored, darker, turned;
  cv::flip(grace, mirrored, 1);
  grace.convertTo(darker, -1, 0.5);
  cv::warpAffine(grace, turned,
                 cv::getRotationMatrix2D({grace.cols / 2.0f, grace.rows / 2.0f}, -10, 1),
                 grace.size());
  list.push_back({"mirrored.png", encoded(mirrored, ".png")});
  list.push_back({"darker.jpg", encoded(darker, ".jpg")});
  list.push_back({"turned.png", encoded(turned, ".png")});
  list.push_back({"exif_rotated.jpg", exif_rotated(read_file(test_photo("grace_hopper.jpg")))});
  list.push_back({"flat.png", encoded(cv::Mat(300, 300, CV_8UC3, cv::Scalar(90, 120, 150)), ".png")});
  const std::string jpeg = read_file(test_photo("einstein.jpg"));
  list.push_back({"truncated.jpg", jpeg.substr(0, jpeg.size() / 3)});
  return list;
}

TEST(Serve, AnswersAsFaceprobeDoesOnTheSameBytes) {
  Service service({"--jobs", "2"});
  HttpClient client = service.client();
  int ok = 0;
  for (const auto& [name, bytes] : uploads()) {
    ScratchDir dir;
    write_file(dir / name, bytes);
    const Reference expected = faceprobe_on(dir.path(), name);
    const auto res = client.Post("/analyse?normalised=1", bytes, "application/octet-stream");
    ASSERT_TRUE(res) << name << ": " << res.error;
    ASSERT_EQ(res->status, 200) << name << ": " << res->body;
    const json answer = json::parse(res->body);
    const std::string status = answer.at("status");
    if (status == "ok") {
      ++ok;
      EXPECT_EQ(answer.at("record"), expected.out) << name;
      EXPECT_TRUE(base64_decode(answer.at("normalised_jpeg")) == expected.jpeg) << name;
      EXPECT_EQ(answer.at("landmarks").size(), 68u) << name;
      EXPECT_TRUE(answer.at("brightness").is_number_integer()) << name;
      EXPECT_EQ(answer.at("angles").size(), 3u) << name;
      EXPECT_EQ(answer.at("quality").size(), 22u) << name;
    } else {
      EXPECT_TRUE(answer.at("quality").is_null()) << name;
      std::string faceprobe_text = status + "\n";
      if (answer.contains("message")) faceprobe_text += answer.at("message").get<std::string>() + "\n";
      EXPECT_EQ(faceprobe_text, expected.out) << name;
      EXPECT_FALSE(answer.contains("normalised_jpeg")) << name;
    }
  }
  EXPECT_GE(ok, 6);
  // Over-large photos are refused from their header, as by the batch: a JPEG
  // claiming 65000 x 65000 pixels, a PNG claiming 60000 x 60000.
  const std::string side("\x00\x00\xEA\x60", 4);  // 60000, big-endian
  const std::string png = std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16) + side +
                          side + std::string("\x08\x02\x00\x00\x00\x00\x00\x00\x00", 9);
  for (const std::string& huge : {huge_jpeg(read_file(test_photo("einstein.jpg"))), png}) {
    const auto res = client.Post("/analyse", huge, "application/octet-stream");
    ASSERT_TRUE(res);
    EXPECT_EQ(json::parse(res->body).at("status"), "ERROR: IMAGE TOO LARGE");
  }
  EXPECT_EQ(service.stop(), 0);
}

// Formats are told by their first bytes: JPEG, PNG and WebP are analysed,
// the rest refused with 415 before any decoder sees them, and counted;
// --formats adds what OpenCV reads.
TEST(Serve, FormatsAreKnownByTheirFirstBytes) {
  const cv::Mat grace = cv::imread(test_photo("grace_hopper.jpg").string());
  const std::string bmp = encoded(grace, ".bmp"), tiff = encoded(grace, ".tiff");
  Service service({"--jobs", "1"});
  Service wider({"--jobs", "1", "--formats", "jpeg,bmp"});
  HttpClient client = service.client(), wide = wider.client();
  const struct {
    const char* what;
    HttpClient& to;
    std::string body;
    int status;
    const char* says;  // in the answer
  } cases[] = {
      {"webp", client, encoded(grace, ".webp"), 200, "\"status\":\"ok\""},
      {"bmp", client, bmp, 415, "a bmp image; this service analyses jpeg, png, webp"},
      {"tiff", client, tiff, 415, "a tiff image"},
      {"ppm", client, encoded(grace, ".ppm"), 415, "a pnm image"},
      {"text", client, "this is not a photo", 415, "of no image format known here"},
      {"two bytes of JPEG", client, "\xFF\xD8", 415, "of no image format known here"},
      {"bmp, accepted", wide, bmp, 200, "\"status\":\"ok\""},
      {"png, not accepted", wide, encoded(grace, ".png"), 415, "analyses jpeg, bmp"},
  };
  for (const auto& c : cases) {
    const auto res = c.to.Post("/analyse", c.body, "application/octet-stream");
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what << ": " << res->body;
    EXPECT_NE(res->body.find(c.says), std::string::npos) << c.what << ": " << res->body;
  }
  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("faceprobe_requests_refused_total{reason=\"format\"} 5"),
            std::string::npos);
  EXPECT_EQ(service.stop(), 0);
}

TEST(Serve, RequestErrorsHaveTheirStatusAndAJsonError) {
  Service service({"--jobs", "1", "--max-body", "100000"});
  HttpClient client = service.client();
  const std::string big(150000, 'x');
  const struct {
    const char* what;
    std::function<HttpResult()> send;
    int status;
  } cases[] = {
      {"empty body", [&] { return client.Post("/analyse", "", "image/jpeg"); }, 400},
      {"GET /analyse", [&] { return client.Get("/analyse"); }, 405},
      {"POST /healthz", [&] { return client.Post("/healthz", "x", "text/plain"); }, 405},
      {"unknown path", [&] { return client.Get("/etc/passwd"); }, 404},
      {"too large", [&] { return client.Post("/analyse", big, "image/jpeg"); }, 413},
  };
  for (const auto& c : cases) {
    const auto res = c.send();
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what;
    EXPECT_TRUE(json::parse(res->body).at("error").is_string()) << c.what << ": " << res->body;
  }
  HttpClient again = service.client();
  const auto health = again.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(service.stop(), 0);
}

// A raw socket, for clients no HTTP library would be.
int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the server closes the connection, at most `seconds`.
std::string read_until_closed(int fd, int seconds) {
  std::string text;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text + "[still open]";
}

TEST(Serve, HostileClientsStopNeitherTheServiceNorOthers) {
  Service service({"--jobs", "1", "--read-timeout", "1"});
  const std::string header =
      "POST /analyse HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10000\r\n\r\n";
  // Half a body, then nothing: dropped once the read times out.
  const int stalled = connect_to(service.port());
  ASSERT_GE(stalled, 0);
  ASSERT_EQ(write(stalled, header.data(), header.size()), static_cast<ssize_t>(header.size()));
  ASSERT_EQ(write(stalled, std::string(5000, 'x').data(), 5000), 5000);
  // Another client gone mid-upload.
  const int gone = connect_to(service.port());
  ASSERT_GE(gone, 0);
  ASSERT_EQ(write(gone, header.data(), header.size()), static_cast<ssize_t>(header.size()));
  close(gone);
  // Garbage instead of a request line.
  const int garbage = connect_to(service.port());
  ASSERT_GE(garbage, 0);
  const std::string noise = "\x01\x02 not http at all\r\n\r\n";
  ASSERT_EQ(write(garbage, noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));

  HttpClient client = service.client();
  const auto res = client.Post("/analyse", read_file(test_photo("grace_hopper.jpg")), "image/jpeg");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body).at("status"), "ok");
  const std::string stalled_answer = read_until_closed(stalled, 10);
  EXPECT_EQ(stalled_answer.find("[still open]"), std::string::npos);
  EXPECT_EQ(stalled_answer.find("200 OK"), std::string::npos) << stalled_answer;
  EXPECT_NE(read_until_closed(garbage, 10).find("HTTP/1.1 4"), std::string::npos);
  close(stalled);
  close(garbage);
  const auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(service.stop(), 0);
}

// A client's whole exchange on one raw connection: what it sends, then what
// comes back until the service closes (at most `seconds`).
std::string exchange(int port, const std::string& sent, int seconds) {
  const int fd = connect_to(port);
  if (fd < 0) return "[no connection]";
  const ssize_t n = write(fd, sent.data(), sent.size());
  const std::string answer = n == static_cast<ssize_t>(sent.size()) ? read_until_closed(fd, seconds)
                                                                     : "[not sent]";
  close(fd);
  return answer;
}

std::string form(const std::string& name, const std::string& filename,
                 const std::string& bytes) {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"" +
         (filename.empty() ? "" : "; filename=\"" + filename + "\"") +
         "\r\nContent-Type: image/jpeg\r\n\r\n" + bytes + "\r\n";
}

// What a client gets for each way of sending, on raw connections: deadlines
// that trickling cannot stretch, limits, chunked bodies, 100-continue, forms,
// request ids, keep-alive. Each exchange ends with the service closing.
TEST(Serve, EveryWayOfSendingGetsItsAnswer) {
  ScratchDir temp;
  Service service({"--jobs", "1", "--header-timeout", "1", "--body-timeout", "1",
                   "--keep-alive", "1", "--max-header", "4096"},
                  temp.path().string());
  const std::string photo = read_file(test_photo("grace_hopper.jpg"));
  ScratchDir dir;
  write_file(dir / "grace_hopper.jpg", photo);
  const std::string record = faceprobe_on(dir.path(), "grace_hopper.jpg").out;
  const std::string post = "POST /analyse HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  const std::string length = "Content-Length: " + std::to_string(photo.size()) + "\r\n";
  std::string chunked;
  for (size_t at = 0; at < photo.size(); at += 5000) {
    const std::string chunk = photo.substr(at, 5000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    chunked += size + chunk + "\r\n";
  }
  chunked += "0\r\n\r\n";
  const std::string boundary = "Content-Type: multipart/form-data; boundary=XyZ\r\n";
  const std::string by_name = form("note", "", "hello") + form("photo", "x.jpg", photo) + "--XyZ--\r\n";
  const std::string by_file = form("note", "", "hello") + form("upload", "x.jpg", photo) + "--XyZ--\r\n";
  const std::string no_file = form("note", "", "hello") + "--XyZ--\r\n";
  const auto sized = [](const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const struct {
    const char* what;
    std::string sent;
    std::vector<std::string> expected;  // in this order in the answer
  } cases[] = {
      {"a header never finished", "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n",
       {"HTTP/1.1 408 "}},
      {"a header over the limit",
       "GET /healthz HTTP/1.1\r\nX-Big: " + std::string(5000, 'a') + "\r\n\r\n",
       {"HTTP/1.1 431 "}},
      {"a body shorter than declared", post + length + "\r\n" + photo.substr(0, 1000),
       {"HTTP/1.1 408 "}},
      {"not HTTP", "\x01\x02 not http at all\r\n\r\n", {"HTTP/1.1 400 "}},
      {"the photo's bytes", post + length + "X-Request-Id: caller-7\r\n\r\n" + photo,
       {"HTTP/1.1 200 ", "X-Request-Id: caller-7", record}},
      {"a chunked body", post + "Transfer-Encoding: chunked\r\n\r\n" + chunked,
       {"HTTP/1.1 200 ", record}},
      {"100-continue", post + length + "Expect: 100-continue\r\n\r\n" + photo,
       {"HTTP/1.1 100 Continue", "HTTP/1.1 200 ", record}},
      {"a form's part named photo", post + boundary + sized(by_name), {"HTTP/1.1 200 ", record}},
      {"a form's first file part", post + boundary + sized(by_file), {"HTTP/1.1 200 ", record}},
      {"a form without a file", post + boundary + sized(no_file),
       {"HTTP/1.1 400 ", "the form holds no file"}},
      {"a request id that would break the log",
       "GET /readyz HTTP/1.1\r\nX-Request-Id: two words\r\nConnection: close\r\n\r\n",
       {"HTTP/1.1 200 ", "X-Request-Id: "}},
      {"two requests kept alive, then idle past --keep-alive",
       "GET /healthz HTTP/1.1\r\n\r\nGET /readyz HTTP/1.1\r\n\r\n",
       {"HTTP/1.1 200 ", "HTTP/1.1 200 ", "\"ready\""}},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = exchange(service.port(), c.sent, 10);
    EXPECT_EQ(answer.find("[still open]"), std::string::npos) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    size_t at = 0;
    for (const std::string& part : c.expected) {
      at = answer.find(part, at);
      ASSERT_NE(at, std::string::npos) << c.what << ": no " << part.substr(0, 40) << " in\n"
                                       << answer.substr(0, 300);
    }
  }
  const std::string log = service.log();
  EXPECT_NE(log.find("POST /analyse 200 "), std::string::npos);
  EXPECT_NE(log.find(" caller-7\n"), std::string::npos) << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(GET /readyz 200 \d+ \d+\.\d [0-9a-f]{16}\n)")))
      << log;
  // No upload is left in the service's private folder, and the folder goes
  // with the service.
  ASSERT_EQ(temp.entries().size(), 1u);
  EXPECT_TRUE(fs::is_empty(temp / *temp.entries().begin()));
  EXPECT_EQ(service.stop(), 0);
  EXPECT_TRUE(temp.entries().empty());
}

// A client that leaves while its photo waits for the one worker costs no
// analysis, and the metrics say so.
TEST(Serve, AClientThatLeavesWhileQueuedCostsNoAnalysis) {
  Service service({"--jobs", "1"});
  const cv::Mat grace = cv::imread(test_photo("grace_hopper.jpg").string());
  cv::Mat large;
  cv::resize(grace, large, cv::Size(), 8, 8, cv::INTER_LINEAR);
  const std::string slow = encoded(large, ".jpg");  // quick to send, a second to analyse
  const std::string photo = read_file(test_photo("grace_hopper.jpg"));
  std::thread first([&] {
    const HttpResult res = service.client().Post("/analyse", slow, "image/jpeg");
    EXPECT_EQ(res.status, 200);
  });
  HttpClient client = service.client();
  for (int i = 0; i < 100; ++i) {
    if (client.Get("/metrics").body.find("faceprobe_requests_in_flight 2") != std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its body in, its analysis on
  const std::string request = "POST /analyse HTTP/1.1\r\nContent-Length: " +
                              std::to_string(photo.size()) + "\r\n\r\n" + photo;
  const int leaving = connect_to(service.port());
  ASSERT_EQ(write(leaving, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  bool queued = false;
  for (int i = 0; i < 200 && !queued; ++i) {
    queued = client.Get("/metrics").body.find("faceprobe_queue_length 1") != std::string::npos;
    if (!queued) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(queued) << "the second photo never waited for the worker";
  close(leaving);
  first.join();
  std::string metrics;
  for (int i = 0; i < 100; ++i) {
    metrics = client.Get("/metrics").body;
    if (metrics.find("faceprobe_analyses_dropped_total 1") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(metrics.find("faceprobe_analyses_dropped_total 1"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("faceprobe_analysis_seconds_count 1\n"), std::string::npos) << metrics;
  EXPECT_EQ(service.stop(), 0);
  EXPECT_NE(service.log().find("POST /analyse 499 "), std::string::npos) << service.log();
}

// 16 clients of 10 requests each on 2 workers and 4 places in the queue:
// every request gets the right answer or a 503 with Retry-After; none is lost
// and none waits forever.
TEST(Serve, LoadBeyondTheQueueIsRefusedNotLost) {
  Service service({"--jobs", "2", "--queue", "4"});
  const cv::Mat grace = cv::imread(test_photo("grace_hopper.jpg").string());
  cv::Mat small;
  cv::resize(grace, small, cv::Size(), 0.6, 0.6, cv::INTER_AREA);
  const std::string photo = encoded(small, ".png");
  ScratchDir dir;
  write_file(dir / "small.png", photo);
  const std::string record = faceprobe_on(dir.path(), "small.png").out;
  ASSERT_FALSE(record.empty());

  std::atomic<int> answered{0}, refused{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 16; ++c) {
    clients.emplace_back([&] {
      HttpClient client = service.client();
      for (int r = 0; r < 10; ++r) {
        const auto res = client.Post("/analyse", photo, "image/png");
        if (res && res->status == 200 && json::parse(res->body).at("record") == record) {
          ++answered;
        } else if (res && res->status == 503 && res->has_header("retry-after")) {
          ++refused;
        } else {
          ++wrong;
          ADD_FAILURE() << (res ? std::to_string(res->status) + " " + res->body : res.error);
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(answered + refused, 160);
  EXPECT_GT(answered, 10);
  EXPECT_GT(refused, 0);

  // A request is counted once its answer is sent, so the last few may be
  // counted a moment after their clients have them; each look at /metrics
  // is one more 200.
  HttpClient client = service.client();
  const auto count_of = [](const std::string& body, const std::string& series) {
    const size_t at = body.find(series + " ");
    return at == std::string::npos ? -1L : std::stol(body.substr(at + series.size() + 1));
  };
  const std::string ok_series = "faceprobe_requests_total{code=\"200\"}";
  const std::string refused_series = "faceprobe_requests_total{code=\"503\"}";
  HttpResult metrics = client.Get("/metrics");
  int looks = 0;
  for (; looks < 50 && metrics &&
         (count_of(metrics->body, ok_series) < answered + looks ||
          count_of(metrics->body, refused_series) < refused);
       ++looks) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    metrics = client.Get("/metrics");
  }
  ASSERT_TRUE(metrics);
  EXPECT_EQ(count_of(metrics->body, ok_series), answered + looks) << metrics->body;
  EXPECT_EQ(count_of(metrics->body, refused_series), refused.load());
  EXPECT_NE(metrics->body.find("faceprobe_analyses_total{status=\"ok\"} " +
                               std::to_string(answered.load())),
            std::string::npos);
  EXPECT_NE(metrics->body.find("faceprobe_analysis_seconds_count " +
                               std::to_string(answered.load())),
            std::string::npos);
  EXPECT_NE(metrics->body.find("faceprobe_queue_length 0"), std::string::npos);
  EXPECT_EQ(service.stop(), 0);

  // One access-log line per request on standard error, and nothing else.
  std::istringstream log(service.log());
  int lines = 0;
  for (std::string line; std::getline(log, line); ++lines) {
    EXPECT_TRUE(std::regex_match(line, std::regex(R"((GET|POST) /\w+ \d{3} \d+ \d+\.\d [0-9a-f]{16})")))
        << line;
  }
  EXPECT_EQ(lines, 160 + looks + 1);
}

TEST(Serve, SigtermAnswersTheRequestsAlreadyAccepted) {
  Service service({"--jobs", "2", "--queue", "4"});
  const std::string photo = read_file(test_photo("grace_hopper.jpg"));
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&] {
      HttpClient client = service.client();
      const auto res = client.Post("/analyse", photo, "image/jpeg");
      if (res && res->status == 200 && json::parse(res->body).at("status") == "ok") ++answered;
    });
  }
  // Until all four are in: two analysing, two waiting.
  HttpClient probe = service.client();
  for (int i = 0; i < 100; ++i) {
    const auto m = probe.Get("/metrics");
    if (m && m->body.find("faceprobe_queue_length 2") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(service.stop(), 0);
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered, 4);
  EXPECT_LT(connect_to(service.port()), 0);
}

TEST(Serve, CommandLine) {
  ScratchDir empty;
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;  // expected in standard output
    const char* err;  // expected in standard error
  } cases[] = {
      {{"--help"}, 0, "--listen", ""},
      {{"--version"}, 0, "faceprobe-serve ", ""},
      {{"--jobs", "0"}, 2, "", "--jobs"},
      {{"--bogus"}, 2, "", "bogus"},
      {{"--listen", "nowhere"}, 2, "", "--listen"},
      {{"--listen", "127.0.0.1:0", "--data", empty.path().string()}, 2, "", "cascade"},
      {{"--formats", "jpeg,gif"}, 2, "", "no image format called 'gif'"},
      {{"--max-memory", "1GiB"}, 2, "", "cannot hold one photo of --max-pixels 100000000"},
      {{"--max-memory", "lots"}, 2, "", "--max-memory"},
  };
  for (const auto& c : cases) {
    const RunResult r = run_program(fs::path(FACEPROBE_SERVE_BIN).parent_path(), c.args,
                                    FACEPROBE_SERVE_BIN, 60);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args[0] << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << ": " << r.err;
  }
}

}  // namespace
