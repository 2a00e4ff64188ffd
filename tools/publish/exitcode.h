#ifndef ZUV_PUBLISH_EXITCODE_H
#define ZUV_PUBLISH_EXITCODE_H

// What zuv-publish returns to the shell.
enum ExitCode {
    Success = 0,
    VerificationFailed = 1, // the tree has problems the program would stumble on
    UsageError = 2,         // bad arguments, an unusable release, a version clash
    IoError = 3             // a file could not be read or written
};

#endif
