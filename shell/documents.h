// documents.h: the documents a script opens by reference and reads or writes in pieces
// (CreateDocument, OpenDocument, SendPacket, ReceivePacket, CloseDocument), without reopening the
// file for every piece.
#ifndef ZOR_SHELL_DOCUMENTS_H
#define ZOR_SHELL_DOCUMENTS_H

#include <cstdint>
#include <string>
#include <unordered_map>

namespace zor::shell {

// How OpenDocument opens a document, as the database host numbers its modes.
enum DocumentMode : int32_t {
    DocumentReadWrite = 0,  // read and write (the default)
    DocumentWrite = 1,      // write only
    DocumentRead = 2,       // read only
};

// The documents open in a host: each reference names one open file until it is closed. References
// are never given twice, so a closed one is told apart from one never given.
class DocumentTable {
public:
    DocumentTable() = default;
    DocumentTable(const DocumentTable&) = delete;
    DocumentTable& operator=(const DocumentTable&) = delete;
    ~DocumentTable() { CloseAll(kEveryOwner); }

    static constexpr int32_t kEveryOwner = -1;  // CloseAll: the documents of every process

    // Opens a regular file (`create`: made, or emptied when it exists; read and write) for the
    // process `owner`; its reference, or 0 with `error` saying why.
    int32_t Open(const std::string& path, bool create, int32_t mode, int32_t owner, std::string& error);
    // The open file of a reference, or -1 with `error` saying why (closed, or never given).
    int FileOf(int32_t reference, std::string& error) const;
    // Closes a document; false with `error` saying why (a failed close still frees the reference).
    bool Close(int32_t reference, std::string& error);
    // Closes every document the process opened (kEveryOwner: every document): its end.
    void CloseAll(int32_t owner);

private:
    struct Document {
        int fd;         // the open file
        int32_t owner;  // the process that opened it (0: the script's main process)
    };
    std::unordered_map<int32_t, Document> open_;  // open documents by reference
    int32_t next_ = 1;                            // the reference the next document gets
};

// Writes every byte of `bytes` at the file's position; false with `error` saying why.
bool WritePacket(int fd, const std::string& bytes, std::string& error);
// Reads at most `count` bytes from the file's position into `bytes`; false with `error`.
bool ReadPacket(int fd, int32_t count, std::string& bytes, std::string& error);
// Reads up to the first `stop` (taken from the file, left out of `bytes`), the end of the file, or
// `most` bytes, whichever comes first. `taken` is the number of bytes taken from the file (0 at its
// end). False with `error` saying why.
bool ReadPacketUntil(int fd, const std::string& stop, size_t most, std::string& bytes, int64_t& taken, std::string& error);

}  // namespace zor::shell

#endif  // ZOR_SHELL_DOCUMENTS_H
