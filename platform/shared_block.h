// The machine-wide shared block of a library: one instance for every process of the
// namespace that has it attached. The first process creates it and runs `init`; the last
// one to detach removes it. A block left behind by processes that have all died is
// created afresh, and a block of another layout (magic, version or size differ) is
// refused rather than misread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prt::plat {

// The first 16 bytes of every shared block.
struct SharedHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t reserved;
};

class SharedBlock {
public:
    SharedBlock() = default;
    ~SharedBlock() { detach(); }
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;

    // Maps the block named `name` (see names.h). `init` runs on fresh memory (zero-filled,
    // header already written) while no other process can attach. False on failure, with
    // `error` telling why.
    bool attach(const std::string& name, uint32_t magic, uint32_t version, size_t size,
                void (*init)(void* block), std::string* error);
    void detach();

    void* data() const { return data_; }
    // True when this attach created the block.
    bool created() const { return created_; }

private:
    std::string name_;
    void* data_ = nullptr;
    size_t size_ = 0;
    int live_fd_ = -1;
    bool created_ = false;
};

// Named sections of a fixed size (the trace logs). The viewer creates them; the driver
// only opens existing ones. Returns null on failure.
void* section_create(const std::string& name, size_t size);  // replaces an existing one
void* section_open(const std::string& name, size_t size);
void section_unmap(void* base, size_t size);

}  // namespace prt::plat
