// The forms of a machine file beyond a bare host name, as the spawner and
// the sender filter read them: "#" begins a comment that runs to the end of
// its line; "host:N" and "host slots=N" (the second word on the same line)
// give the host N consecutive places. N is a whole number from 1 to 99999;
// a word of another form is a host name as written.
#ifndef TARVO_COMMON_MACHINE_WORDS_H
#define TARVO_COMMON_MACHINE_WORDS_H

#include <string>

/// The places of "NAME:N" (NAME not empty): N, with NAME's length in
/// *nameLength. 0 for any other word.
int MachineWordPlaces(const std::string& word, size_t* nameLength);

/// N for the word "slots=N", 0 for any other word.
int MachineSlotsWord(const std::string& word);

#endif  // TARVO_COMMON_MACHINE_WORDS_H
