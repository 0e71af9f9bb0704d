// How many characters an open port gathers before it reports them readable: termios VMIN, with
// VTIME 0 (a port with an inter-character timer reports the first character whatever VMIN
// says). Changed with one system call; the C library's tcsetattr reads the settings back before
// and after, three calls for every change.
#ifndef RXP_TOOLS_RXP_HOST_PORT_GATHERING_H
#define RXP_TOOLS_RXP_HOST_PORT_GATHERING_H

#include <memory>

namespace rxphost {

class PortGathering {
public:
    PortGathering();
    ~PortGathering();
    PortGathering(const PortGathering&) = delete;
    PortGathering& operator=(const PortGathering&) = delete;

    // Takes the settings of the port open at `fd` and sets VMIN 1, VTIME 0; false when the port
    // has no terminal settings or refuses them.
    bool Attach(int fd);
    // VMIN 1..255; false when the port refuses (the port stays as it was).
    bool Set(unsigned characters);
    unsigned characters() const { return characters_; }

private:
    struct Settings;  // the kernel's own termios, which the C library's header may not name
    std::unique_ptr<Settings> settings_;
    int fd_ = -1;
    unsigned characters_ = 1;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_PORT_GATHERING_H
