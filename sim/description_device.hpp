// A camera's own GenICam description served by the simulated camera (corvisk-sim --description).
//
// The description is scanned once when it is loaded: which address ranges its registers use (so
// the document itself can be placed where no register points), which enumeration and boolean
// registers it has (so they start at a value the feature knows), and whether the features the
// stream side needs (Width, Height, PixelFormat, PayloadSize, AcquisitionStart/Stop and the
// stream channel registers) are plain registers at fixed addresses. Device memory outside the
// bootstrap registers is then sparse: every word reads a value derived from the seed until it
// is written, and writes persist.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "file_access.hpp"
#include "genicam/evaluator.hpp"
#include "result.hpp"
#include "sim_config.hpp"

namespace corvisk::sim {

// Where the bits of one integer feature live: `length` bytes at `address`, assembled in the
// register's byte order, bits low..high of that value (bit 0 = least significant).
struct RegisterField {
    uint32_t address = 0;
    uint32_t length = 4;  // 1..8
    bool big_endian = true;
    uint32_t low = 0;
    uint32_t high = 31;
};

// A feature whose register holds the camera's own code for its value (an IntConverter below
// the feature): `to` turns a value into its code (FormulaTo of FROM), `from` a code back
// (FormulaFrom of TO). The formulas' other variables are constants or plain registers.
struct ValueCode {
    struct Formula {
        genicam::Expr expr;
        // Per variable of expr: the converted value itself, a constant, a register, or a
        // formula of those.
        struct Variable {
            bool is_input = false;
            std::optional<int64_t> constant;
            std::optional<RegisterField> field;
            std::shared_ptr<const Formula> nested;
        };
        std::vector<Variable> variables;
    };
    Formula to, from;
};

// Where a register is while its address formula reads other registers of the device: the
// formula's value now, plus offset. With `by_mode` the formula's input is the acquisition
// mode's value, which the device keeps nowhere: one register per mode, and which one a command
// is written to tells the mode (the one-shot and continuous registers of some cameras).
struct MovingAddress {
    ValueCode::Formula formula;
    int64_t offset = 0;
    bool by_mode = false;
};

// The standard features behind streaming, each resolved to a plain register.
struct StreamFeatures {
    RegisterField width, height, pixel_format;
    std::optional<ValueCode> pixel_format_code;  // present: the register holds the camera's code
    std::optional<RegisterField> payload_size;   // absent: the description computes it
    std::optional<ValueCode::Formula> payload_formula;  // how, when it is an IntSwissKnife
    RegisterField start, stop;
    int64_t start_value = 1;  // the commands' CommandValue
    int64_t stop_value = 1;
    // Present when the command's register moves with the device's state; start and stop then
    // hold where it was at power-up.
    std::optional<MovingAddress> start_at, stop_at;
    // Present when the command's value goes through a converter into its register.
    std::optional<ValueCode> start_code, stop_code;
    std::vector<int64_t> pixel_formats;  // PixelFormat entry values, document order
    std::optional<RegisterField> acquisition_mode;
    std::map<int64_t, AcqMode> modes;  // AcquisitionMode entry value -> mode
    // A word of the camera's own that reflects the stream channel's packet size (the low 16
    // bits of its SCPS register), where GevSCPSPacketSize is described there instead.
    std::optional<uint32_t> packet_size_mirror;
};

// The standard file access features, each resolved to a plain register, and the transfer
// buffer's place: what the served description's files are worked through.
struct FileFeatures {
    RegisterField selector, operation, execute, offset, length;
    std::optional<RegisterField> open_mode, status, result, size;
    int64_t execute_value = 1;                           // FileOperationExecute's CommandValue
    std::vector<std::pair<std::string, int64_t>> files;  // FileSelector entries: name, value
    std::map<int64_t, FileOp> operations;                // FileOperationSelector value -> op
    std::map<int64_t, uint32_t> modes;                   // FileOpenMode value -> kFileMode*
    int64_t success = 0, failure = 1;                    // FileOperationStatus values
    uint32_t buffer = 0;                                 // FileAccessBuffer address
    uint32_t buffer_length = 0;                          // 0: no transfers, only operations
    std::string no_buffer_reason;                        // why, when buffer_length is 0
};

// A register field and the value it holds at power-up.
struct FieldPreset {
    RegisterField field;
    uint64_t value = 0;
};

// A description prepared for serving. Immutable once loaded; shared by every device made from
// the same configuration.
struct Description {
    std::string file_name;      // the name given in the Local: URL (.xml or .zip)
    std::vector<uint8_t> file;  // the bytes served, exactly as given (plain XML or ZIP)
    uint32_t base = 0;          // device memory address the file is served at
    // [begin, end) address ranges the description's registers reach, merged and sorted.
    std::vector<std::pair<uint64_t, uint64_t>> used;
    size_t registers = 0;  // register elements found
    std::optional<StreamFeatures> stream;
    std::string control_only_reason;  // why `stream` is absent
    std::optional<FileFeatures> files;
    std::string no_files_reason;  // why `files` is absent (empty: no file access described)
    std::vector<FieldPreset> presets;
};

// Largest description file accepted.
constexpr size_t kMaxDescriptionFile = 64u << 20;

// Reads `path` (plain XML or a ZIP archive holding it) and prepares it; an error text when the
// file cannot be read or parsed, or no free address range is left for it.
Result<std::shared_ptr<const Description>, std::string> load_description(const std::string& path,
                                                                         uint64_t seed);
// The same for a file already in memory; `name` is its file name (only the last path part and
// its extension matter).
Result<std::shared_ptr<const Description>, std::string> prepare_description(
    std::vector<uint8_t> file, const std::string& name, uint64_t seed);

// The text of corvisk-sim's ready line after the address: what is served and whether it streams.
std::string describe_serving(const Description& d);

// Device memory behind a description. Not thread-safe: the GvcpDevice calls it under its lock.
class DescribedMemory {
  public:
    // Most words a client may write before further writes to new addresses are refused.
    static constexpr size_t kMaxWrittenWords = 1u << 20;

    enum class Effect : uint8_t { None, Start, Stop, Refused };

    DescribedMemory(std::shared_ptr<const Description> description, const SimConfig& config);

    // The big-endian value of the aligned word at `addr`.
    uint32_t read_word(uint32_t addr) const;
    // Stores the word; says whether it started or stopped the acquisition, or was refused
    // because the sparse memory is full.
    Effect write_word(uint32_t addr, uint32_t value);

    const Description& description() const { return *description_; }
    bool streams() const { return description_->stream.has_value(); }
    // The address of the word that mirrors the packet size of stream channel 0, if any.
    std::optional<uint32_t> packet_size_mirror() const {
        return streams() ? description_->stream->packet_size_mirror : std::nullopt;
    }
    // The described image geometry and acquisition mode (only when streams()).
    uint32_t width() const;
    uint32_t height() const;
    uint32_t pixel_format() const;
    AcqMode acquisition_mode() const;
    // Whether the description's own PayloadSize formula (when it has one) gives the bytes of
    // the image the simulated camera would stream now.
    bool payload_formula_agrees() const;
    // The pattern and frame rate of the configuration (the description has its own features
    // for these, which the simulated camera does not interpret).
    Pattern pattern() const { return pattern_; }
    double frame_rate() const { return frame_rate_; }

  private:
    uint64_t read_field(const RegisterField& f) const;
    // The formula's value for `input` with its registers read now; nullopt when it fails.
    std::optional<int64_t> evaluate(const ValueCode::Formula& f, int64_t input) const;
    void write_field(const RegisterField& f, uint64_t value);
    // `f` where it is now, when `at` says it moves (for the mode `mode`, when by_mode);
    // nullopt when its formula gives no address the device could be written at.
    std::optional<RegisterField> placed(const RegisterField& f,
                                        const std::optional<MovingAddress>& at,
                                        int64_t mode = 0) const;
    // Whether writing `addr` gave the command `f` (at `at`) its value; its register then reads 0
    // again. By mode, `mode` is set to the mode whose register it was.
    bool command_taken(const RegisterField& f, const std::optional<MovingAddress>& at,
                       const std::optional<ValueCode>& code, int64_t value, uint32_t addr,
                       std::optional<AcqMode>& mode);
    void refresh_payload_size();
    bool touches(const RegisterField& f, uint32_t addr) const;
    uint8_t read_byte(uint32_t addr) const;
    void write_byte(uint32_t addr, uint8_t value);
    // The operation the file access registers ask for, run on the file store; its status,
    // result and the file's size are then in their registers.
    void run_file_operation();
    void refresh_file_size();
    std::optional<uint32_t> selected_file() const;

    std::shared_ptr<const Description> description_;
    uint64_t seed_;
    Pattern pattern_;
    double frame_rate_;
    std::unordered_map<uint32_t, uint32_t> written_;
    // The mode the last start chose by its register, for a device that keeps it nowhere else.
    std::optional<AcqMode> started_mode_;
    FileStore files_;  // one file per FileSelector entry (when `files` is resolved)
};

}  // namespace corvisk::sim
