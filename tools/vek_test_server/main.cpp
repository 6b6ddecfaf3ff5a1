// vek_test_server: serves a script to VEK clients on 127.0.0.1 until
// interrupted. Without a script file it serves one that a client can log
// in to and stay logged in: keep-alives, a client list, channel requests
// approved, and a short transmission of another station now and then.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "support/fake_vek_server.h"

namespace {

const char kDefaultScript[] = R"(# default: log in, then stay
login SV=2014000 AL=OK MT=Welcome\sto\sthe\stest\sserver NT=Test ID=1
skip-acks on
clients tlv 1:TEST1:Here 2:TEST2:There
keepalives 2000
tx approve 300
loop
sleep 20000
talk 2 440 2000
keepalive
)";

void Usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [-p PORT] [-s SCRIPT] [-v] [--print-default]\n"
               "  -p PORT  listen on 127.0.0.1:PORT (default: a free port, printed)\n"
               "  -s FILE  serve the script in FILE instead of the default one\n"
               "  -v       print every item the client sends\n",
               argv0);
}

const char* KindText(vektest::ItemKind k) {
  switch (k) {
    case vektest::ItemKind::Line: return "line";
    case vektest::ItemKind::TxPacket: return "tx";
    case vektest::ItemKind::Message: return "message";
    case vektest::ItemKind::Disconnected: return "closed";
    case vektest::ItemKind::Partial: return "partial";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  std::string script_text = kDefaultScript;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-p" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "invalid port: %s\n", argv[i]);
        return 2;
      }
    } else if (a == "-s" && i + 1 < argc) {
      std::ifstream f(argv[++i], std::ios::binary);
      if (!f) {
        std::fprintf(stderr, "cannot read script %s: %s\n", argv[i], std::strerror(errno));
        return 2;
      }
      std::stringstream ss;
      ss << f.rdbuf();
      script_text = ss.str();
    } else if (a == "-v") {
      verbose = true;
    } else if (a == "--print-default") {
      std::fputs(kDefaultScript, stdout);
      return 0;
    } else {
      Usage(argv[0]);
      return 2;
    }
  }

  try {
    vektest::Script script = vektest::Script::Parse(script_text);
    // Block the stop signals so only the main thread's wait sees them.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    vektest::FakeVekServer server({script}, static_cast<uint16_t>(port));
    server.SetRecordLimit(1000);
    if (verbose) {
      server.SetOnItem([](const vektest::ClientItem& item) {
        std::string text;
        for (unsigned char c : item.text) {
          if (c >= 0x20 && c < 0x7F) text += static_cast<char>(c);
          else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
          }
        }
        std::printf("%u #%d %s %s\n", item.tick, item.connection, KindText(item.kind), text.c_str());
        std::fflush(stdout);
      });
    }
    std::printf("listening on 127.0.0.1:%u\n", server.Port());
    std::fflush(stdout);

    size_t reported = 0;
    for (;;) {
      timespec tick{1, 0};
      int sig = sigtimedwait(&set, nullptr, &tick);
      if (sig == SIGINT || sig == SIGTERM) break;
      auto failures = server.Failures();
      for (; reported < failures.size(); ++reported) std::fprintf(stderr, "script: %s\n", failures[reported].c_str());
    }
    server.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vek_test_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
