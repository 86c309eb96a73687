#include "emulator/emulator.h"

namespace prt::emu {

namespace detail {

void ServerLine::send(std::span<const uint8_t> bytes) {
    std::lock_guard lk(mu_);
    if (server_) server_->send_data(bytes);
}

void ServerLine::set_modem(bool cts, bool dsr) {
    std::lock_guard lk(mu_);
    if (server_) server_->set_modem(cts, dsr);
}

void ServerLine::send_break() {
    std::lock_guard lk(mu_);
    if (server_) server_->send_break();
}

void ServerLine::attach(plat::rfc2217::Server* server) {
    std::lock_guard lk(mu_);
    server_ = server;
}

}  // namespace detail

Emulator::Emulator(Config config) : Printer(std::move(config), server_line) {}

Emulator::~Emulator() {
    stop();
}

bool Emulator::start(const std::string& host, uint16_t port) {
    std::lock_guard lk(mu_);
    if (server_) {
        error_ = "already running";
        return false;
    }
    std::string err;
    server_ = plat::rfc2217::Server::start(host, port, *this, &err);
    if (!server_) {
        error_ = err.empty() ? "cannot listen on " + host + ":" + std::to_string(port) : err;
        return false;
    }
    host_ = host;
    error_.clear();
    server_line.attach(server_.get());
    // The server keeps the modem state for each new client: CTS tells the power.
    announce_power();
    return true;
}

void Emulator::stop() {
    std::unique_ptr<plat::rfc2217::Server> s;
    {
        std::lock_guard lk(mu_);
        s = std::move(server_);
    }
    if (!s) return;
    server_line.attach(nullptr);
    s->stop();
}

uint16_t Emulator::port() const {
    std::lock_guard lk(mu_);
    return server_ ? server_->port() : 0;
}

std::string Emulator::url() const {
    std::lock_guard lk(mu_);
    return server_ ? "rfc2217://" + host_ + ":" + std::to_string(server_->port()) : "";
}

bool Emulator::connected() const {
    std::lock_guard lk(mu_);
    return server_ && server_->connected();
}

std::string Emulator::error() const {
    std::lock_guard lk(mu_);
    return error_;
}

}  // namespace prt::emu
