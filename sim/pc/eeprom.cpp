#include "pc/eeprom.h"

namespace sim {

namespace {
constexpr uint8_t kReadOpcode = 0b10;
}

uint16_t eeprom_sum(const EepromWords& words)
{
    uint16_t sum = 0;
    for (uint16_t w : words)
        sum = static_cast<uint16_t>(sum + w);
    return sum;
}

EepromWords build_eeprom_words(const AdapterSettings& settings)
{
    EepromWords words{};
    for (size_t t = 0; t < settings.targets.size(); t++)
        words[2 * t] = static_cast<uint16_t>(settings.targets[t].flags | settings.targets[t].speed_index << 8);
    words[32] = static_cast<uint16_t>(settings.initiator_id | settings.options << 8);
    words[33] = static_cast<uint16_t>(settings.tag_depth_shift << 8);
    words[kChecksumWord] = 0;
    words[kChecksumWord] = static_cast<uint16_t>(kEepromChecksum - eeprom_sum(words));
    return words;
}

EepromWords damage_eeprom_words(EepromWords words)
{
    words[0] ^= 0x0100;  // target 0's speed index, bit 0
    return words;
}

void Eeprom::violation(const char* rule)
{
    errors_.report("eeprom", rule);
    state_ = selected() ? State::Broken : State::Deselected;
}

void Eeprom::select()
{
    const bool word_finished = state_ == State::Data && bits_ == 16;
    if (selected() && state_ != State::AwaitStart && !word_finished)
        errors_.report("eeprom", "selected again in the middle of a command");
    state_ = State::AwaitStart;
    bits_ = 0;
    shift_ = 0;
    output_ = true;
}

void Eeprom::deselect()
{
    state_ = State::Deselected;
    output_ = true;
}

void Eeprom::drive(bool clock, bool data_in)
{
    const bool rising = clock && !clock_;
    clock_ = clock;
    if (!rising)
        return;
    if (!selected()) {
        errors_.report("eeprom", "clocked while deselected");
        return;
    }
    rising_edge(data_in);
}

void Eeprom::rising_edge(bool data_in)
{
    switch (state_) {
    case State::AwaitStart:
        // Leading zeros before the start bit are ignored, as by real parts.
        if (data_in) {
            state_ = State::Opcode;
            bits_ = 0;
            shift_ = 0;
        }
        return;
    case State::Opcode:
    case State::Address:
        shift_in(data_in);
        return;
    case State::Data:
        if (bits_ == 16) {
            state_ = State::Done;
            violation("clocked past the last data bit of the word");
            return;
        }
        output_ = (words_[address_] >> (15 - bits_)) & 1;
        ++bits_;
        return;
    case State::Done:
    case State::Broken:
    case State::Deselected:
        return;
    }
}

void Eeprom::shift_in(bool bit)
{
    shift_ = static_cast<uint8_t>(shift_ << 1 | bit);
    bits_++;
    if (state_ == State::Opcode && bits_ == 2) {
        if (shift_ != kReadOpcode) {
            violation("opcode other than read (10)");
            return;
        }
        state_ = State::Address;
        bits_ = 0;
        shift_ = 0;
        return;
    }
    if (state_ == State::Address && bits_ == 6) {
        address_ = shift_;
        state_ = State::Data;
        bits_ = 0;
    }
}

bool Eeprom::sample_output()
{
    if (state_ == State::Data && bits_ == 0)
        violation("data output read before the first data bit was clocked out");
    else if (selected() && state_ != State::Data && state_ != State::Broken)
        violation("data output read before the address was complete");
    return output_;
}

}  // namespace sim
