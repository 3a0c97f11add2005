// Linked only into the terminal UI tests.
//
// ncurses keeps the screen record it allocated when newterm fails for an unknown terminal type; the
// allocation and the loss are both inside libtinfo.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:new_prescr\n";
}
#endif
#endif
