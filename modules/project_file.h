// The house as a project file the home-automation server imports at its integration's setup,
// instead of scanning the bus for minutes: one <Module> per module of a known type, with its
// addresses, type, build, serial, its name as the caption, and its memory image holding the
// module and channel names at their type's addresses (0xFF elsewhere). A pure function of the
// module table and the type table; it never reads the bus. Made a module at a time, so that a
// large house is handed over in pieces, between which the bridge goes on.
#pragma once
#include <cstdint>
#include <string>

#include "modules/module_table.h"

namespace tessel {

// What a project file of the table holds, for the page to say.
struct ProjectCounts {
    std::int64_t modules = 0;       // in the file
    std::int64_t leftOut = 0;       // of a type the server does not know (one would fail the import)
    std::int64_t namesMissing = 0;  // of a type that keeps names, none heard yet
};

// Whether a module goes into the file: its type is in the table.
bool inProjectFile(const ModuleRecord& record);
// Whether its type keeps names in memory and none has been heard yet.
bool namesMissing(const ModuleRecord& record);
ProjectCounts projectCounts(const ModuleTable& table);

// "VMB1TS $40" for a type that keeps no name (or none heard yet), else the module's name.
std::string projectCaption(const ModuleRecord& record);
// The module's memory image from 0x0000 to the last name address of its type, as the file's
// uppercase hexadecimal: names at their addresses (ASCII only; any other byte is left out as
// 0xFF, the padding the reader drops), 0xFF elsewhere.
std::string projectMemory(const ModuleRecord& record);
// One <Module> element, its line end included; empty for a module left out.
std::string projectModule(const ModuleRecord& record);

// The file, a piece at a time: its head, each module of the table as it is when its turn comes,
// then its end.
class ProjectFileText {
public:
    explicit ProjectFileText(const ModuleTable& table) : table_(table) {}
    // Up to `max` bytes into `out`; 0 at the end.
    std::size_t read(char* out, std::size_t max);

private:
    const ModuleTable& table_;
    int next_ = -1;  // -1: the head; 0..255: the address whose turn it is; 256: the end
    std::string pending_;
    std::size_t taken_ = 0;
    bool done_ = false;
};

// The whole file at once (--project-file).
std::string projectFile(const ModuleTable& table);

// "tessel-house-20261210-for-home-assistant.vlp": named for the server, so that nobody takes it
// for the installer's project.
std::string projectFileName(std::int64_t wallSeconds);

}  // namespace tessel
