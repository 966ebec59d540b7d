// zolvane_line: the line server (serve), a station's forwarder (forward), and a demonstration
// line on one machine (demo). README.md beside this file says what each does.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include <CLI/CLI.hpp>

#include "demo.h"
#include "forward.h"
#include "server.h"
#include "store.h"

namespace {

using namespace zolvane::line;

// Exit codes.
constexpr int kFine = 0, kFailed = 1, kUsage = 2;

bool splitListen(const std::string &listen, std::string &host, int &port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = listen.substr(0, colon);
  try {
    std::size_t used = 0;
    port = std::stoi(listen.substr(colon + 1), &used);
    return used == listen.size() - colon - 1 && port >= 0 && port <= 65535;
  } catch (const std::exception &) {
    return false;
  }
}

// SIGINT and SIGTERM are taken by one thread that calls `onStop`; every other thread has them
// blocked, so no handler runs inside a library call.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  void onStop(std::function<void()> f) {
    thread_ = std::thread([this, f = std::move(f)] {
      int sig = 0;
      sigwait(&set_, &sig);
      if (!quitting_) f();
    });
  }
  ~StopSignals() {
    if (thread_.joinable()) {
      quitting_ = true;
      pthread_kill(thread_.native_handle(), SIGTERM);
      thread_.join();
    }
  }

 private:
  sigset_t set_;
  std::thread thread_;
  std::atomic<bool> quitting_{false};
};

int serve(const std::string &storeText, const std::string &listen, const std::string &tokenFile,
          ServerOptions options, std::size_t connections) {
  std::string host;
  int port = 0;
  if (!splitListen(listen, host, port)) {
    std::fprintf(stderr, "zolvane_line: --listen is HOST:PORT, not \"%s\"\n", listen.c_str());
    return kUsage;
  }
  if (!tokenFile.empty() && !readTokenFile(tokenFile, options.token)) {
    std::fprintf(stderr, "zolvane_line: cannot read a token from %s\n", tokenFile.c_str());
    return kUsage;
  }
  StopSignals signals;
  Store store(storeText, connections);
  try {
    store.migrate();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zolvane_line: %s\n", e.what());
    return kFailed;
  }
  LineServer server(store, options);
  const int bound = server.bind(host, port);
  if (bound < 0) {
    std::fprintf(stderr, "zolvane_line: cannot listen on %s\n", listen.c_str());
    return kFailed;
  }
  signals.onStop([&] { server.stop(); });
  std::printf("zolvane_line: serving http://%s:%d/ (%s, bodies up to %zu bytes)%s\n", host.c_str(),
              bound, store.dialect() == Dialect::Postgres ? "PostgreSQL" : "SQLite", options.maxBody,
              options.token.empty() ? ", read-only: no --token-file" : "");
  std::fflush(stdout);
  return server.run() ? kFine : kFailed;
}

int forward(const ForwardOptions &options, const std::string &tokenFile, bool once) {
  StopSignals signals;
  std::atomic<bool> stop{false};
  signals.onStop([&] { stop = true; });
  return forwardCommand(options, tokenFile, once, stop, "zolvane_line");
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"The line server: phone records from every station, yields and pages"};
  app.require_subcommand(1);

  std::string store, listen = "127.0.0.1:8080", tokenFile;
  ServerOptions options;
  std::size_t connections = 8;
  auto *serveCmd = app.add_subcommand("serve", "Take records from stations; serve the API and pages");
  serveCmd->add_option("--store", store, "sqlite:PATH or postgresql://USER@HOST:PORT/DB")->required();
  serveCmd->add_option("--listen", listen, "HOST:PORT (port 0: any free one)")->capture_default_str();
  serveCmd->add_option("--token-file", tokenFile, "The token stations send; without it, no records are taken");
  serveCmd->add_option("--refresh", options.refreshSeconds, "Pages reload every N seconds (0: never)")
      ->capture_default_str()->check(CLI::Range(0, 86400));
  serveCmd->add_option("--quiet-minutes", options.quietMinutes, "A station with no run for this long is quiet")
      ->capture_default_str()->check(CLI::Range(1, 100000));
  serveCmd->add_option("--max-body", options.maxBody, "Largest POST body in bytes (413 above)")
      ->capture_default_str()->check(CLI::Range(std::size_t{1024}, std::size_t{1} << 30));
  serveCmd->add_option("--connections", connections, "Database connections")
      ->capture_default_str()->check(CLI::Range(1, 256));

  ForwardOptions fwd;
  bool once = false;
  std::string fwdToken;
  auto *forwardCmd = app.add_subcommand("forward", "Send a station's waiting records to a line server");
  forwardCmd->add_option("--db", fwd.db, "The station's database")->required();
  forwardCmd->add_option("--to", fwd.url, "The line server, http://HOST:PORT")->required();
  forwardCmd->add_option("--token-file", fwdToken, "The line server's token")->required();
  forwardCmd->add_option("--batch", fwd.batch, "Records a request")->capture_default_str()
      ->check(CLI::Range(1, 5000));
  forwardCmd->add_flag("--once", once, "Send what waits and exit (1 if any still waits)");

  DemoOptions demo;
  auto *demoCmd = app.add_subcommand("demo", "A line on this machine: a server and four simulated stations");
  demoCmd->add_option("--listen", demo.listen, "HOST:PORT")->capture_default_str();
  demoCmd->add_option("--phones", demo.phones, "Phones each station tests (0: until stopped)")
      ->capture_default_str();
  demoCmd->add_option("--folder", demo.folder, "Where the databases go (default: a new temporary folder)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? kFine : kUsage;
  }
  if (*serveCmd) return serve(store, listen, tokenFile, options, connections);
  if (*forwardCmd) return forward(fwd, fwdToken, once);
  if (*demoCmd) return runDemo(demo);
  return kUsage;
}
