// Sends the debug log to a fresh file for the life of the object so a test can
// read back exactly the lines the code under test wrote.
#ifndef TESTS_TRANSPORT_LOGCAPTURE_H
#define TESTS_TRANSPORT_LOGCAPTURE_H

#include "tracemoor.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class LogCapture {
  public:
    LogCapture() {
        char name[] = "/tmp/pipewell-log-XXXXXX";
        int fd = ::mkstemp(name);
        ::close(fd);
        path_ = name;
        vyr_open_logfile(path_.c_str(), 1);
    }
    ~LogCapture() {
        vyr_close_logfile();
        std::remove(path_.c_str());
    }
    std::string text() const {
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    std::string path_;
};

#endif
