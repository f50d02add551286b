// One table maps each command letter to its usage line and its runner.
#pragma once

#include <span>

// The words after the command word; absent words read as null.
struct invocation {
    const char* name;
    int word_count;
    char** words;

    const char* word(int index) const { return index < word_count ? words[index] : nullptr; }
};

struct command_entry {
    char letter;
    const char* usage;
    int (*run)(const invocation& call);  // returns the exit status
};

// In the order the usage text lists them.
std::span<const command_entry> command_table();

const command_entry* find_command(char letter);
