// The adapter's settings EEPROM: 64 16-bit words behind the common three-wire
// serial protocol (select, start bit, opcode, six address bits, then the word
// shifted out most significant bit first), and the readable settings it is
// built from.
#pragma once

#include <array>
#include <cstdint>

#include "model_error.h"

namespace sim {

struct TargetSettings {
    uint8_t flags = 0;  // TF_PARITY, TF_SYNC, TF_DISCONNECT, TF_TAGGED
    uint8_t speed_index = 0;
};

struct AdapterSettings {
    std::array<TargetSettings, 8> targets{};
    uint8_t initiator_id = 7;
    uint8_t options = 0;  // bit 0x08: Config4 0x84
    uint8_t tag_depth_shift = 2;
};

using EepromWords = std::array<uint16_t, 64>;

constexpr uint16_t kEepromChecksum = 0x1234;
// Word 63 is not used by the settings; it carries the checksum balance.
constexpr size_t kChecksumWord = 63;

// The words for `settings`, with the checksum made right.
EepromWords build_eeprom_words(const AdapterSettings& settings);
uint16_t eeprom_sum(const EepromWords& words);
// The same words with one bit flipped, so that the checksum fails.
EepromWords damage_eeprom_words(EepromWords words);

class Eeprom {
public:
    Eeprom(ModelErrors& errors, EepromWords words) : errors_(errors), words_(words) {}

    // Chip select. Selecting starts a new command.
    void select();
    void deselect();
    // The serial clock and data-in lines as the adapter drives them.
    void drive(bool clock, bool data_in);
    // Data output: a deselected or idle EEPROM's output floats high. Sampling it
    // while no data bit has been presented breaks the protocol.
    bool sample_output();

    bool selected() const { return state_ != State::Deselected; }
    const EepromWords& words() const { return words_; }
    uint32_t words_read() const { return words_read_; }

private:
    enum class State { Deselected, AwaitStart, Opcode, Address, Data, Done, Broken };
    void rising_edge(bool data_in);
    void shift_in(bool bit);
    void violation(const char* rule);

    ModelErrors& errors_;
    EepromWords words_;
    State state_ = State::Deselected;
    bool clock_ = false;
    uint8_t bits_ = 0;       // bits taken in the current field, or data bits presented
    uint8_t shift_ = 0;      // opcode or address being assembled
    uint8_t address_ = 0;
    bool output_ = true;
    uint32_t words_read_ = 0;
};

}  // namespace sim
