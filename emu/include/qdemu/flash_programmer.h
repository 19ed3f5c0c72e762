// The flash memory of a QMX unit and of its pods, as WRITE BUFFER mode 5 reprograms it and
// READ BUFFER mode 1 reports on it. Units are numbered 0 (the main SCSI unit) and 1-7
// (pods 0-6); a unit mask in a select has bit n for pod n, or is 0 for the main unit.
//
// The choices of this emulation:
//   - Reprogramming mode (buffer 0) stops the FAS firmware; select (1), data (2) and the
//     restart that loads the new images (4) follow. Restart outside the mode is a plain
//     firmware restart.
//   - Select names fitted units: bits of pods not fitted are ignored, so 0x7f is every
//     fitted pod; nothing fitted named is ILLEGAL REQUEST, as is a select outside the mode. A
//     fitted pod that is not communicating refuses it with VENDOR UNIQUE and "Lost
//     communication". A select while the previous image is complete keeps that image for
//     the restart, so pods and main unit load together; an incomplete one is dropped.
//   - Data blocks must follow each other exactly: offset = bytes received so far. Any other
//     offset (out of order, overlapping, a gap) is refused with VENDOR UNIQUE and "Sequence
//     error"; a block past the selected size, or whose length differs from the data sent,
//     with ILLEGAL REQUEST. A refused block changes nothing.
//   - Restart with an image partly sent: VENDOR UNIQUE, "Incomplete data" and "Original
//     data", still in the mode. An image whose first 128 header bytes (undoubled when stored
//     byte-doubled) hold no "V<digit>." version: VENDOR UNIQUE, "Version error". Either image
//     is dropped (its units keep what they had), so the next restart loads the rest. An image
//     selected but never begun (a download declined) is dropped without complaint. Otherwise
//     every kept image's version becomes its unit's, the mode ends and the firmware restarts.
//     Empty images change nothing.
//   - A plain firmware restart (SEND DIAGNOSTIC) in the mode ends it: the images not loaded
//     are dropped and the units run what they had.
//   - Conditions (vendor status bits) stay until the unit is selected again or loads an
//     image; "Waiting" shows on units selected whose image is not complete, "Lost
//     communication" on fitted pods that are not communicating. Tests add their own.
//   - A power cycle ends the mode and drops the images; versions and conditions stay.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdemu {

inline constexpr unsigned kFlashUnits = 8; // main unit and seven pods
inline constexpr std::size_t kInventoryLength = 192;
inline constexpr std::size_t kInventoryEntry = 24;
inline constexpr std::size_t kVendorStatusLength = 16;

// Vendor status bits of one unit's word.
namespace vendor_bit {
inline constexpr std::uint16_t kCondition = 0x8000; // set with any of the others
inline constexpr std::uint16_t kLostCommunication = 0x4000;
inline constexpr std::uint16_t kEepromFailed = 0x0080;
inline constexpr std::uint16_t kSequenceError = 0x0040;
inline constexpr std::uint16_t kChecksumError = 0x0020;
inline constexpr std::uint16_t kIncompleteData = 0x0010;
inline constexpr std::uint16_t kVersionError = 0x0008;
inline constexpr std::uint16_t kNoFlash = 0x0004;
inline constexpr std::uint16_t kWaiting = 0x0002;
inline constexpr std::uint16_t kOriginalData = 0x0001;
} // namespace vendor_bit

// Why a step was refused: the sense key and additional sense code of the check condition.
struct Refusal {
  std::uint8_t key;
  std::uint8_t add_code;
};

// The version an image's header names ("V2.4"), as the update tool reads it.
std::optional<std::string> image_version(std::span<const std::uint8_t> image);

class FlashProgrammer {
public:
  // pods_fitted: bit n = pod n is fitted (0 on models without pods).
  FlashProgrammer(std::string product, std::string version, std::uint8_t pods_fitted,
                  std::string pod_product, std::string pod_version);

  // WRITE BUFFER steps; `pods_online` has bit n set while pod n communicates.
  std::optional<Refusal> enter_mode();
  std::optional<Refusal> select(std::uint8_t mask, std::uint32_t size, std::uint8_t pods_online);
  std::optional<Refusal> data(std::uint32_t offset, std::uint32_t length,
                              std::span<const std::uint8_t> bytes);
  // Loads the kept images. Leaves the mode on success; the caller restarts the firmware.
  std::optional<Refusal> load();
  // Leaves the mode without loading anything.
  void abandon();
  void power_lost();

  // READ BUFFER pages.
  std::array<std::uint8_t, kInventoryLength> inventory(std::uint8_t pods_online) const;
  std::array<std::uint8_t, kVendorStatusLength> vendor_status(std::uint8_t pods_online) const;
  std::uint16_t status_word(unsigned unit, std::uint8_t pods_online) const;

  // Conditions a test wants reported (bits of vendor_bit, on unit 0-7).
  void add_condition(unsigned unit, std::uint16_t bits);
  void clear_conditions();

  bool in_mode() const { return in_mode_; }
  bool fitted(unsigned unit) const;
  const std::string& version(unsigned unit) const { return versions_.at(unit); }
  const std::string& product(unsigned unit) const { return unit == 0 ? product_ : pod_product_; }

private:
  struct Image {
    std::uint8_t mask;
    std::uint32_t size;
    std::vector<std::uint8_t> bytes;
    bool complete() const { return bytes.size() == size; }
  };

  // The units a select mask names.
  static std::vector<unsigned> units_of(std::uint8_t mask);
  void flag(const Image& image, std::uint16_t bits);

  std::string product_;
  std::string pod_product_;
  std::uint8_t pods_fitted_;
  std::array<std::string, kFlashUnits> versions_;
  std::array<std::uint16_t, kFlashUnits> conditions_{};
  bool in_mode_ = false;
  std::vector<Image> kept_;
  std::optional<Image> current_;
};

} // namespace qdemu
