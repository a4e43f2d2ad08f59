// The switch reader of sc-vardo: each found switch and its value words are
// removed from argv and argc drops accordingly; an absent switch gives the
// default. A switch without its value, or a value that is not wholly a
// number, ends the run with status 2 ("Manca arg." messages on stderr).
#pragma once

const char* Lread_switch(int& argc, char** argv, const char* name, int valueCount,
                         const char* defaultText);
int Lread_iswitch(int& argc, char** argv, const char* name, int defaultValue);
double Lread_dswitch(int& argc, char** argv, const char* name, double defaultValue);

// Whether a value word is a real number in the readers' decimal grammar:
// blanks, a sign, digits with an optional point, an optional exponent (no
// nan, inf or hex floats).
bool isDecimalReal(const char* word);
