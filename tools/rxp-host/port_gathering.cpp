#include "tools/rxp-host/port_gathering.h"

// The kernel's termios and its requests, without the C library's termios.h (whose struct of the
// same name has another layout).
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace rxphost {

struct PortGathering::Settings {
    struct termios port;
};

PortGathering::PortGathering() : settings_(new Settings()) {}
PortGathering::~PortGathering() = default;

bool PortGathering::Attach(int fd) {
    fd_ = -1;
    if (::ioctl(fd, TCGETS, &settings_->port) != 0) return false;
    fd_ = fd;
    settings_->port.c_cc[VTIME] = 0;
    characters_ = 0;  // set below whatever the port had
    return Set(1);
}

bool PortGathering::Set(unsigned characters) {
    if (fd_ < 0 || characters == characters_) return fd_ >= 0;
    settings_->port.c_cc[VMIN] = static_cast<cc_t>(characters);
    if (::ioctl(fd_, TCSETS, &settings_->port) != 0) return false;
    characters_ = characters;
    return true;
}

}  // namespace rxphost
