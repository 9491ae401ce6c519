#include "freshstart.h"

namespace {

struct Text
{
    char chars[96] {};
};

// A text with a figure in it, composed by the compiler.
constexpr Text compose(const char *before, int figure = -1, const char *after = "")
{
    Text text;
    int at = 0;
    for (; *before; ++before)
        text.chars[at++] = *before;
    if (figure >= 0) {
        char digits[12] {};
        int count = 0;
        do {
            digits[count++] = char('0' + figure % 10);
            figure /= 10;
        } while (figure > 0);
        while (count > 0)
            text.chars[at++] = digits[--count];
    }
    for (; *after; ++after)
        text.chars[at++] = *after;
    return text;
}

// In the order of FreshStart::Reason.
constexpr Text Texts[] = {
    compose("Qt's audio backend has lost the audio server"),
    compose("Qt's audio backend never reached the audio server"),
    compose("An output's start has not returned for ", FreshStart::StartLimitMs / 1000, " s"),
    compose("The event loop is stuck"),
};

} // namespace

const char *FreshStart::text(Reason reason)
{
    return Texts[reason].chars;
}
