// The adapter's settings EEPROM: 64 16-bit words behind the common three-wire
// serial protocol (select, start bit, opcode, six address bits, then the word
// shifted out most significant bit first), and the readable settings it is
// built from.
#pragma once

#include <array>
#include <cstdint>

#include "model_error.h"

namespace sim {

// The settings as the adapter's configuration utility writes them: per
// target a flags byte and a speed index in one word (words 0, 2, ... 14:
// flags in the low byte, speed index 0-7 in the high byte; 7 means no
// synchronous transfer), word 32 the initiator ID (low byte) and the adapter
// options (high byte), word 33 the tag depth shift in its high byte, and word
// 63 the balance that makes all 64 words sum to 0x1234.
inline constexpr uint8_t kTargetParity = 0x01;      // check parity
inline constexpr uint8_t kTargetSync = 0x02;        // offer synchronous transfer
inline constexpr uint8_t kTargetDisconnect = 0x04;  // allow disconnection
inline constexpr uint8_t kTargetTagged = 0x10;      // tagged queuing
inline constexpr uint8_t kTargetAll = kTargetParity | kTargetSync | kTargetDisconnect | kTargetTagged;
inline constexpr uint8_t kOptionConfig4Bit2 = 0x08;  // the chip's Config4 gets bit 0x04 too

struct TargetSettings {
    uint8_t flags = 0;  // kTarget* bits
    uint8_t speed_index = 0;
};

struct AdapterSettings {
    std::array<TargetSettings, 8> targets{};
    uint8_t initiator_id = 7;
    uint8_t options = 0;  // kOption* bits
    uint8_t tag_depth_shift = 2;
};

// The tag depth the settings give a tagged LUN: 2 << shift, at most 16.
constexpr unsigned settings_tag_depth(uint8_t shift) { return shift >= 3 ? 16u : 2u << shift; }
// The synchronous period a speed index asks for, in 25 ns clocks; 0: none.
constexpr unsigned settings_period_clocks(uint8_t speed_index)
{
    constexpr unsigned clocks[8] = {4, 5, 6, 7, 8, 13, 20, 0};
    return speed_index < 8 ? clocks[speed_index] : 0;
}

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
};

}  // namespace sim
