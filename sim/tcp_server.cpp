// Modbus TCP: a listener that serves any number of reconnecting clients. libmodbus
// frames the requests; the sockets and the answers are ours, so faults can bend them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/transport.h"

namespace novexsim {
namespace {

// Clients beyond this many close the oldest: a client that reconnects after a
// timeout often leaves its old connection half-open.
constexpr size_t kMaxClients = 8;

class TcpServer {
public:
    TcpServer(const Options& options, StopConditions& stop, Responder& responder)
        : options_(options), stop_(stop), responder_(responder) {}
    ~TcpServer() {
        for (int c : clients_) close(c);
        if (listener_ >= 0) close(listener_);
    }

    // Binds and listens; prints the ready line. False after logging why not.
    bool Listen() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0) {
            Log(Errno("socket"));
            return false;
        }
        const int yes = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options_.tcp_port));
        inet_pton(AF_INET, options_.bind.c_str(), &addr.sin_addr);
        socklen_t addr_len = sizeof addr;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
            Log(Errno("cannot listen on " + options_.bind + ":" +
                      std::to_string(options_.tcp_port)));
            return false;
        }
        const std::string where = options_.bind + ":" + std::to_string(ntohs(addr.sin_port));
        // The context only frames requests; the sockets are ours.
        ctx_.reset(modbus_new_tcp(options_.bind.c_str(), ntohs(addr.sin_port)));
        if (!ctx_) {
            Log(Errno("modbus_new_tcp"));
            return false;
        }
        Ready("tcp " + where);
        Log("serving scenario " + options_.scenario + " on tcp " + where);
        return true;
    }

    // Until a stop condition: wait, accept, then receive from and answer each client
    // with a request waiting.
    void Run() {
        for (;;) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (int c : clients_) fds.push_back({c, POLLIN, 0});
            if (!stop_.Wait(fds)) return;
            if (fds[0].revents & POLLIN) Accept();
            for (size_t i = 1; i < fds.size() && !stop_.Done(); ++i)
                if (fds[i].revents != 0) ReceiveAndAnswer(fds[i].fd);
        }
    }

private:
    void Accept() {
        const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        if (clients_.size() >= kMaxClients) Drop(clients_.front(), "too many clients");
        clients_.push_back(c);
        Log("client connected");
    }

    void ReceiveAndAnswer(int client) {
        if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) return;
        modbus_set_socket(ctx_.get(), client);
        const int n = modbus_receive(ctx_.get(), adu_);
        if (n < 0) {
            Drop(client, errno == ECONNRESET ? "by the client" : modbus_strerror(errno));
            return;
        }
        if (n == 0) return;
        const Reply reply = responder_.Handle(adu_, static_cast<size_t>(n), Clock::now());
        if (!Deliver(stop_, options_, reply, client, true))
            Drop(client, reply.drop ? "dropped by fault injection" : "write failed");
    }

    void Drop(int client, const char* why) {
        Log(std::string("connection closed: ") + why);
        close(client);
        clients_.erase(std::find(clients_.begin(), clients_.end(), client));
    }

    const Options& options_;
    StopConditions& stop_;
    Responder& responder_;
    int listener_ = -1;
    ModbusPtr ctx_;
    std::vector<int> clients_;
    uint8_t adu_[MODBUS_TCP_MAX_ADU_LENGTH] = {};
};

}  // namespace

int ServeTcp(const Options& options, StopConditions& stop, Responder& responder) {
    TcpServer server(options, stop, responder);
    if (!server.Listen()) return 1;
    server.Run();
    return 0;
}

}  // namespace novexsim
