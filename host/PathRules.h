// How the framework's configuration turns a registry path into the path of its
// factory library: which configuration file, its redirections, and where the
// library named there lies. Plain text rules; the configuration file is read
// through an IniReader so that the rules run without the platform.
#pragma once

#include <stdint.h>

#include "SafeText.h"

enum : int32_t {
    kValueBufferSize = 1024,  // raw configuration values
    kSwitchBufferSize = 10,   // the trimmed NotUseDefaultDllPath switch
    // A chain of absolute redirections is followed at most this many steps, so
    // that a file leading back to itself cannot loop for ever.
    kMaxRedirectSteps = 16,
};

// Fit-testing forms of the text operations: each does its work only when the
// result fits and then returns 1; otherwise, and for a null pointer or a size not
// positive, it returns 0 and leaves the destination alone.
int32_t CopyIfFits(char* dest, int32_t size, const char* src);
int32_t CopyCountIfFits(char* dest, int32_t size, const char* src, int32_t count);
int32_t AppendIfFits(char* dest, int32_t size, const char* src);

// Absolute: contains ":" anywhere or begins with "\". Everything else is relative,
// also null, empty and texts that begin with "/".
int32_t IsAbsolutePath(const char* path);
// Null, empty, or spaces and tabs only.
int32_t IsBlank(const char* text);
// The last "\" of path; only when there is none, its last "/". Null when neither.
const char* LastSeparator(const char* path);

// Copies value without its leading and trailing spaces and tabs (inner ones stay:
// library paths may contain spaces). A result that does not fit leaves dest empty.
void TrimValue(const char* value, char* dest, int32_t size);

// name placed in the directory of file: file's text up to its last separator, or
// file and "\" when it has none, then name. A step that would not fit is skipped.
void JoinToFileDir(const char* file, const char* name, char (&out)[kPathBufferSize]);
// hostDir "\" name, cut to 258 characters.
void JoinToHostDir(const char* hostDir, const char* name, char (&out)[kPathBufferSize]);

// Reads one key of an ini file; a missing file, section or key gives fallback.
class IniReader {
public:
    virtual void Read(const char* file, const char* section, const char* key, const char* fallback, char* out,
                      int32_t size) = 0;

protected:
    ~IniReader() = default;
};

// The configuration file a registry path names: "Zelvo.ini" in the host directory
// for a null or empty path, a relative path joined with the host directory, an
// absolute path as it is.
void FindConfigFile(const char* registryPath, const char* hostDir, char (&out)[kPathBufferSize]);

// The file the Redirect/Path entries lead to from file. Returns 1 when the chain
// ended by itself, 0 when it was stopped after kMaxRedirectSteps absolute steps;
// out is then the file reached at the last step.
int32_t FollowRedirect(IniReader& reader, const char* file, char (&out)[kPathBufferSize]);

// The factory library's path as configured in a (final) configuration file.
void ResolveLibraryPath(IniReader& reader, const char* configFile, char (&out)[kPathBufferSize]);

struct LibraryLocation {
    char configFile[kPathBufferSize];  // the file the registry path names
    char finalFile[kPathBufferSize];   // the file its redirections lead to
    char libraryPath[kPathBufferSize];
    int32_t chainCut;                  // the redirections were stopped at finalFile
};

// All of the above, in order, for one registry path.
void LocateLibrary(IniReader& reader, const char* registryPath, const char* hostDir, LibraryLocation& out);
