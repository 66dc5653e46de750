// Runs the kxsd test server (kxsd_server.py) for one test: started in the
// constructor on 127.0.0.1 with a port of its own, killed and reaped in
// the destructor (and by the kernel if the test process dies first).
//
//   kxsd_server_proc srv({"--probe", "accept", "--fault", "close:cmd=12"});
//   ASSERT_TRUE(srv.started()) << srv.error();
//   write_file(srv.file("img"), data);      // served as "/img"
//   ... connect to 127.0.0.1:srv.port() ...
//   for (auto& r : srv.requests(12)) EXPECT_EQ(r["fields"]["len"].i(), 1 << 20);
//
// The server's options are listed by `kxsd_server.py --help` and its fault
// switches by `--list-faults`.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kxsd_server/mini_json.h"
#include "support/proc.h"

class kxsd_server_proc {
public:
    // Extra arguments after --root and --log, which the harness sets.
    explicit kxsd_server_proc(const std::vector<std::string>& args = {});
    ~kxsd_server_proc();
    kxsd_server_proc(const kxsd_server_proc&) = delete;
    kxsd_server_proc& operator=(const kxsd_server_proc&) = delete;

    bool started() const { return port_ != 0; }
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }
    // The directory the server serves, and a path in it.
    const std::string& root() const { return root_; }
    std::string file(const std::string& name) const { return root_ + "/" + name; }
    const std::string& log_path() const { return log_; }

    // Every record of the log so far (requests and connection events), in order.
    std::vector<mini_json> log() const;
    // The request records, all or those of one command.
    std::vector<mini_json> requests() const;
    std::vector<mini_json> requests(int cmd) const;

    // Waits for the server to exit by itself (--max-conns); its exit
    // status, or -1 when it is still running after timeout_ms.
    int wait_exit(int timeout_ms);
    // Kills the server now (the destructor does it too).
    void stop();

    // Path of the server script.
    static std::string script();

private:
    temp_dir dir_;
    std::string root_;
    std::string log_;
    std::string error_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    int status_ = -1;
};
