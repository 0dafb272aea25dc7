// Texture documents as text: reading and writing listings.
//
// Not built yet: the functions here are placeholders until the listing
// reader lands.
#include "tools/listing.h"

namespace texlisting {

ListingError::ListingError(const std::string& file_, int line_, int column_, const std::string& message_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ":" + std::to_string(column_) + ": " + message_),
      file(file_), line(line_), column(column_), message(message_) {}

Document parseListing(const std::string&, const std::string& fileName) {
    throw ListingError(fileName, 1, 1, "listing reader not built yet");
}
std::string formatListing(const Document&) { return {}; }
std::string formatCppSource(const Document&, const std::string&) { return {}; }
Document readDocument(const std::string& fileName) { throw tex::IoError("Cannot read " + fileName); }
void writeDocument(const Document&, const std::string& fileName) { throw tex::IoError("Cannot write " + fileName); }

}  // namespace texlisting
