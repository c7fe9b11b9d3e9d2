#include "store/record_file.h"

namespace kestrona {

std::vector<std::string> ReadRecordChunks(const std::filesystem::path& file, std::size_t size) {
    std::vector<std::string> records;
    std::string content;
    std::error_code ec;
    if (size == 0 || !ReadWholeFile(file, content, ec)) {
        return records;
    }
    records.reserve(content.size() / size + 1);
    for (std::size_t pos = 0; pos < content.size(); pos += size) {
        std::string chunk = content.substr(pos, size);
        chunk.resize(size, '\0');
        records.push_back(std::move(chunk));
    }
    return records;
}

}  // namespace kestrona
