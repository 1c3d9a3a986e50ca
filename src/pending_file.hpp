// A new version of a file that replaces it whole or not at all.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "descriptors.hpp"
#include "regular_files.hpp"

// A new version of a file, made beside it in the same open directory as a copy named after it
// (".tmp" added: the library reads only names ending in ".conf", so never a copy), and put in
// its place whole or not at all by one commit. Until then, every way out removes the copy.
class PendingFile {
public:
    // Opens the copy of target in directory for writing without following a symbolic link or
    // waiting on a FIFO, and accepts only a regular file with no other name: a copy left by an
    // earlier run, which is emptied. Nothing otherwise.
    static std::optional<PendingFile> create(int directory, std::string target);
    PendingFile(PendingFile&& other) noexcept;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile();

    // One line and its newline, flushed, so that no part of it is held back in memory.
    bool write(std::string_view line);

    enum class Commit {
        done,         // the copy is the file now, on disk
        not_written,  // the copy could not be finished; the file is as it was
        not_replaced, // the rename failed, or could not be made durable
    };
    // Gives the copy its owner, group and mode (set-id bits are cleared by a change of owner,
    // so the mode comes last), syncs and closes it, renames it over the target and syncs the
    // directory: without the first sync a crash soon after the rename can leave an empty file,
    // without the last the new entry is not on disk.
    Commit commit(const Attributes& attributes);

private:
    PendingFile(int directory, std::string target, Stream stream) noexcept;
    [[nodiscard]] std::string copy_name() const;
    int directory_; // held by the caller for as long as this lives
    std::string target_;
    Stream stream_;
    bool pending_ = true;
};
