#pragma once
// DEVICE_INFO: the connection record of one camera. Every HTTP client is built from a copy.
#include <cstdint>
#include <string>

namespace vostrel {

struct DEVICE_INFO {
    DEVICE_INFO(std::string address, uint16_t port, std::string userName, std::string password)
        : m_address(std::move(address)),
          m_port(port),
          m_userName(std::move(userName)),
          m_password(std::move(password)) {}
    DEVICE_INFO(const DEVICE_INFO&) = default;
    DEVICE_INFO& operator=(const DEVICE_INFO&) = default;
    virtual ~DEVICE_INFO() = default;

    int32_t m_timeout = 5000;        // request time-out, milliseconds
    int32_t m_streamTimeout = 5000;  // no-frame time after which a stream's signal is lost
    std::string m_address;
    uint16_t m_port = 80;
    std::string m_userName;
    std::string m_password;
    std::string m_model;
};

}  // namespace vostrel
