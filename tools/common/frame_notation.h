// One notation for frames on the power system's line, used by the bench host's trace, the
// simulator's log and the capture reader, so that their lines can be laid side by side:
//
//   2024-05-01T12:00:03.125+02:00 -> ~ addr 01 codes 41/0E len 1 data 07 sum FC CR  0x41/0x0E
//   module 7, poll 3 step 11 2024-05-01T12:00:03.140+02:00 <- noise 2 bytes: 12 5A
//   2024-05-01T12:00:03.161+02:00 <- ~ addr 01 codes 41/0E len 11 data 07 14 E6 00 76 01 33 00 00
//   00 00 sum F3 CR  accepted for step 11
//
// "->" is always host to power system (a command), "<-" power system to host (a reply), in
// whichever program prints the line. A frame whose characters are not all the protocol's
// ('0'..'?', paired) is shown as its characters in hex: "7E 30 31 5A 0D".
#ifndef RXP_TOOLS_COMMON_FRAME_NOTATION_H
#define RXP_TOOLS_COMMON_FRAME_NOTATION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rxp::tools {

using Bytes = std::vector<unsigned char>;

enum class LineDirection { kToPowerSystem, kFromPowerSystem };

// The raw bytes of a frame (start to end character) when every character between them is a
// protocol character and they pair up; false otherwise.
bool DecodeFrameChars(const unsigned char* chars, std::size_t size, Bytes* raw);

// What a command asks for: "0x40/0x01 AC phases", "0x41/0x0E module 7".
std::string CommandName(std::uint8_t group, std::uint8_t command, const unsigned char* data,
                        std::size_t data_size);
// The same for a command frame as it goes on the line; empty when it is not one.
std::string CommandNameOfFrame(const unsigned char* chars, std::size_t size);

// The payload bytes the reply to a command frame must carry, as the device's polling cycle
// checks them; -1 for a frame that is no poll command.
int ExpectedReplyPayload(const unsigned char* chars, std::size_t size);

// A frame or a run of noise for people (see above), without time, direction or note.
std::string FrameText(const unsigned char* chars, std::size_t size, LineDirection direction);

// The whole line: time, direction, FrameText and the note, if any.
std::string FrameLine(const std::string& time, LineDirection direction, const unsigned char* chars,
                      std::size_t size, const std::string& note);

// Verdicts on replies.
std::string AcceptedNote(unsigned step);  // "accepted for step 11"
extern const char kLateNote[];            // "late or unexpected"
// Why the plug-in's codec and polling cycle drop this reply frame when its step needs
// `payload_needed` payload bytes: "dropped: checksum expected 86 got 87", "dropped: payload 14
// bytes, step needs 15", ...; empty when they take it. Checked as the device checks it.
std::string ReplyDropReason(const unsigned char* chars, std::size_t size, unsigned payload_needed);

// Cuts the bytes of one direction into frames (start character to end character, a start
// character inside a frame being an ordinary byte, as the plug-in's codec reads them) and the
// noise between them.
class FrameCutter {
public:
    struct Piece {
        Bytes bytes;
        bool frame;  // false: noise before a start character, or an overlong run
    };

    std::vector<Piece> Feed(const unsigned char* data, std::size_t size);
    // Hands over what is held (a frame without its end character, or noise); false when empty.
    bool Flush(Piece* piece);
    bool holding() const { return !held_.empty(); }

private:
    // Holds [from, to) or what fits of it: a run that reaches the size of the device's buffer
    // is handed over as it came, and the rest is read again from the returned position.
    const unsigned char* Hold(const unsigned char* from, const unsigned char* to,
                              std::vector<Piece>* pieces);

    Bytes held_;
    bool in_frame_ = false;
};

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_FRAME_NOTATION_H
