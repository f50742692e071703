// The delivery worker request file: the one line that carries a delivery from the process
// that accepted a message to the worker process that delivers it, written and read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "providers/provider_edge_types.h"

namespace tessik {

inline constexpr char kDeliveryRequestType[] = "delivery_worker_request";
inline constexpr char kDeliveryModeDeliver[] = "deliver";
inline constexpr char kDeliveryModeValidate[] = "validate";

// The request line: a JSON object without blanks, 29 string members in their fixed order
// (booleans as "true"/"false"), ended by a line feed.
std::string format_delivery_request(const DeliveryRequest& request, std::string_view mode);

// "tessik-delivery-worker-<id>.json" in the user's temporary directory, where id is the
// message id (a fresh random id when blank) with every character other than an ASCII letter
// or digit replaced by '-'.
std::filesystem::path delivery_request_path(std::string_view message_id);

// A request file name that is already taken: the hand-off never writes through or over it.
class DeliveryRequestExistsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Creates the temporary directory when needed and writes the line into a new owner-only file.
// Throws DeliveryRequestExistsError "delivery worker request file already exists: <path>" when
// anything (a file, a link) has the name already, else std::runtime_error "could not create
// delivery worker temp directory: <reason>" or "could not write delivery worker request: <path>".
void write_delivery_request(const std::filesystem::path& path, const DeliveryRequest& request,
                            std::string_view mode);

// A request file read back. When `ok` is false, `error` says why and the rest is unset.
struct ParsedDeliveryRequest {
  bool ok = false;
  std::string error;
  std::string mode;
  DeliveryRequest request;
};

// Parses the text of a request file. The target row is rebuilt from the file's members as
// the hand-off left it: enabled and sendable, since only such rows are handed off.
// Requires an object of type "delivery_worker_request" whose members are all strings, with a
// message id and a target provider; other members may be missing (read as empty).
ParsedDeliveryRequest parse_delivery_request(std::string_view text);

// Reads and parses a request file; a missing or unreadable file is a failed parse, and so is
// one larger than kDeliveryRequestMaxBytes.
ParsedDeliveryRequest read_delivery_request(const std::filesystem::path& path);

// Larger than any request the hand-off writes (bodies are bounded well below it).
inline constexpr std::uintmax_t kDeliveryRequestMaxBytes = 32u << 20;

// Exclusive use of one request file: at most one process consumes it, however many try.
// claim() locks the file and checks that it is still in place; consume() removes it and ends
// the claim; the destructor ends an unconsumed claim and leaves the file for another claimant.
class DeliveryRequestClaim {
 public:
  enum class Status {
    claimed,  // this object holds the file; parsed() says what it contains
    busy,     // another process holds it right now
    gone,     // there is no such file of this user (never written, or already consumed)
  };

  explicit DeliveryRequestClaim(std::filesystem::path path);
  ~DeliveryRequestClaim();
  DeliveryRequestClaim(const DeliveryRequestClaim&) = delete;
  DeliveryRequestClaim& operator=(const DeliveryRequestClaim&) = delete;

  Status claim();
  const ParsedDeliveryRequest& parsed() const { return parsed_; }
  void consume();
  void release();

 private:
  std::filesystem::path path_;
  std::intptr_t handle_;
  ParsedDeliveryRequest parsed_;
};

// The request files in the user's temporary directory (by their name only).
std::vector<std::filesystem::path> list_delivery_request_files();

}  // namespace tessik
