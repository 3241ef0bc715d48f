// Takes over a queue file as qlfwd does at start and prints what it would
// deliver, one text a line (line ends shown as \r and \n), after a first line
// "pending <n> damaged <m>". For the power-cut check, which reads the queue
// a cut machine left.
#include <cstdio>
#include <string>

#include "delivery/queue_file.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: queue_texts QUEUE_FILE\n");
        return 2;
    }
    ql::QueueFile queue;
    ql::QueueFile::Taken taken;
    std::string path = argv[1];
    std::string temp = path + "-new";
    // The records' queue is named so; any other holds command texts.
    bool records = path.find("qlfwd-mqtt-queue") != std::string::npos;
    unsigned version = 0;
    ql::QueueFile::Opened opened =
        queue.open(path.c_str(), temp.c_str(), records ? ql::QueueKind::records : ql::QueueKind::commands, taken, version);
    if (opened != ql::QueueFile::Opened::ok) {
        if (opened == ql::QueueFile::Opened::foreign)
            std::fprintf(stderr, "%s: not a queue this release reads\n", argv[1]);
        else
            std::perror(argv[1]);
        return 1;
    }
    std::printf("pending %llu damaged %llu\n", static_cast<unsigned long long>(taken.pending),
                static_cast<unsigned long long>(taken.damaged));
    const char* text;
    std::size_t len;
    while (queue.begin(text, len)) {
        for (std::size_t i = 0; i < len; ++i) {
            if (text[i] == '\r') std::fputs("\\r", stdout);
            else if (text[i] == '\n') std::fputs("\\n", stdout);
            else std::putchar(text[i]);
        }
        std::putchar('\n');
        queue.finish();
    }
    return 0;
}
