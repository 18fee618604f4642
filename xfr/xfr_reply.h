// The parse of the supply's query replies. Internal to the command set; kept
// apart so that it can be checked on any text without a supply.
//
// The supply answers a question "KEYWORD?\r" with "KEYWORD VALUE" and a line
// end. The parse is sscanf's with the format "KEYWORD %lf" or "KEYWORD %d":
// the keyword must stand at the very start, the blank matches any run of
// white space (or none), and anything may follow the number.
#pragma once

// Each reads "KEYWORD VALUE" from the NUL-terminated `reply` into *value.
// `keyword` is one of the command set's keywords, letters only, as it becomes
// part of the format.
// Returns sscanf's result: 1 when the value was read; 0 when the text does not
// match (*value is left untouched); -1 when it ended before a number could be
// read, as an empty reply or one cut off inside the keyword does.
int parseXfrReply(const char *keyword, const char *reply, double *value);
int parseXfrReply(const char *keyword, const char *reply, int *value);
