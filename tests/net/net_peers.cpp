#include "net_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "test_machine.h"

namespace nettest {

certificate make_certificate(const std::string& dir) {
    certificate c{dir + "/cert.pem", dir + "/key.pem"};
    qortest::run_command("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qor-test -keyout '" +
                         c.key + "' -out '" + c.cert + "'");
    return c;
}

signing_key make_signing_key(const std::string& dir, const std::string& name) {
    signing_key k{dir + "/" + name + ".key", dir + "/" + name + ".pub"};
    qortest::run_command("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + k.key +
                         "' && openssl pkey -in '" + k.key + "' -pubout -out '" + k.pub + "'");
    return k;
}

std::string sign_bytes(const signing_key& key, const std::string& bytes) {
    const std::string file = key.key + ".signed";
    qortest::write_host_file(file, bytes);
    qortest::run_command("openssl dgst -sha256 -sign '" + key.key + "' -out '" + file + ".sig' '" + file + "'");
    return qortest::read_host_file(file + ".sig");
}

std::string signing_key_name(const signing_key& key) {
    std::string out;
    qortest::run_command("openssl pkey -pubin -in '" + key.pub + "' -outform DER | sha256sum", &out);
    return out.substr(0, 16);
}

bool peer_process::start(const char* const* argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in[0], 0);
        dup2(out[1], 1);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    pid_ = pid;
    stdin_fd_ = in[1];
    stdout_fd_ = out[0];
    return true;
}

bool peer_process::wait_for_output(const std::string& text, int timeout_ms) {
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (seen.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[256];
        ssize_t n = ::read(stdout_fd_, buf, sizeof buf);
        if (n <= 0) return false;  // the child ended without saying it
        seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void peer_process::stop() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    stdin_fd_ = stdout_fd_ = -1;
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool wait_for_port(const std::string& address, int port, int timeout_ms) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
        ::close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// True once `path` holds the decimal `pid`; gives up after `timeout_ms`.
bool wait_for_pid_file(const std::string& path, pid_t pid, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        if (atol(qortest::read_host_file(path).c_str()) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

nginx_peer::nginx_peer(const std::string& address, const std::string& root, const certificate& cert,
                       const std::string& work_dir)
    : work_dir_(work_dir) {
    std::string conf = work_dir + "/nginx.conf";
    qortest::write_host_file(
        conf,
        "daemon off;\nuser root;\nworker_processes 1;\npid " + work_dir + "/nginx.pid;\nerror_log " + work_dir +
            "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
            "  client_body_temp_path " + work_dir + "/body;\n  proxy_temp_path " + work_dir + "/proxy;\n"
            "  fastcgi_temp_path " + work_dir + "/fastcgi;\n  uwsgi_temp_path " + work_dir + "/uwsgi;\n"
            "  scgi_temp_path " + work_dir + "/scgi;\n  default_type application/octet-stream;\n"
            "  server {\n    listen " + address + ":80;\n    listen " + address + ":443 ssl;\n"
            "    ssl_certificate " + cert.cert + ";\n    ssl_certificate_key " + cert.key + ";\n"
            "    root " + root + ";\n    location /redirect/ { rewrite ^/redirect/(.*)$ /$1 redirect; }\n"
            "  }\n}\n");
    std::string error_log = work_dir + "/error.log";
    const char* argv[] = {"nginx", "-p", work_dir.c_str(), "-e", error_log.c_str(), "-c", conf.c_str(), nullptr};
    // The pid file appears only once this nginx holds its ports, so a stale
    // server on the same address is never taken for ours.
    ok_ = process_.start(argv) && wait_for_pid_file(work_dir + "/nginx.pid", process_.pid(), 10000) &&
          wait_for_port(address, 80, 10000) && wait_for_port(address, 443, 10000);
}

std::string nginx_peer::log() const { return qortest::read_host_file(work_dir_ + "/error.log"); }

script_peer::script_peer(const std::string& address, const certificate& cert) {
    std::string script = std::string(NET_TEST_DIR) + "/script_server.py";
    const char* argv[] = {"python3", script.c_str(), "--address", address.c_str(), "--cert", cert.cert.c_str(),
                          "--key", cert.key.c_str(), nullptr};
    // "ready" comes only after both ports are bound by this process.
    ok_ = process_.start(argv) && process_.wait_for_output("ready", 10000);
}

std::string script_pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + (i >> 8)) & 0xFF);
    return s;
}

void write_hosts(const std::string& machine_dir, const std::string& lines) {
    qortest::write_host_file(machine_dir + "/hosts", lines);
}

std::string sha256sum_of_file(const std::string& path) {
    std::string out;
    qortest::run_command("sha256sum '" + path + "'", &out);
    return out.substr(0, 64);
}

std::string sha256sum_of(const std::string& bytes) {
    qortest::temp_dir dir("sha");
    qortest::write_host_file(dir.path() + "/data", bytes);
    return sha256sum_of_file(dir.path() + "/data");
}

}  // namespace nettest
