#include "app/usage_text.h"

// The one "%s" is the program name as it was started.
const char UsageText[] = R"USAGE(
Usage
  %s -d <path> [-d <path>] [-a <address>] [other options]

Options:
  -a <address>    chia address for receiving reward
  -d <path>       directory where plots and temporary files will be stored (required),
                  optionally includes size, plot count and file type limitations
                    -d[,<size>][,<count>N][,[~]<types>][,r] <path>
                  where <size> should be specified with one of the following suffixes:
                    B, KB, MB, GB, TB (bytes, kibibytes, mebibytes, etc)
                  <types> is a set of letters defining file types that are allowed
                  or disallowed (if ~ is used) in this directory:
                    t - temporary files
                    s - sparse plots
                    f - final plots
                  for example: -d,ts <path>
                  [,r] - to define read-only directory for mining only
                  option -d can be used multiple times:
                    -d,t <path1> -d,4TB <path2> -d,1TB,ts <path3> -d,r <path4>
  -c <level>      compression level (1-5) for new plots (default is 1)
  -m <size>       amount of RAM to use during plotting or finalization
  -w <name>       worker name displayed on the website
  -p [password]   password used for delegated plotting
                  if "-p" is specified without password,
                  it will be asked at program startup
  -k <publickey>  public key used for delegated plotting
                  new plots will be generated for this public key
  -s <path>       directory for settings and cache files
                  specify current directory "." to make client portable
                  you can run the client from readonly or nonpersistent file system
                  but settings and cache should always be located in
                  writable persistent directory
                  (default is $XDG_CONFIG_HOME/VarnokChiaPool)
  -u <policy>     automatic update policy:
                    0 - turn automatic updates off
                    1 - critical updates only (protocol changes, etc)
                    2 - security updates
                    3 - performance improvements
                    4 - any new version (default)
  -4 -6           use IPv4 or IPv6 (by default both are used)
  --p-threads <count>
                  number of plotting and finalization threads
  --m-threads <count>
                  number of mining threads
  --r-threads <count>
                  number of read threads, increase it for a high latency storage
  --no-rescan
                  do not scan directories for new plots after startup
  --no-benchmark
                  do not run benchmark at startup
  --no-plotting
                  do not make new plots
  --no-finalizing
                  do not finalize existing sparse plots
  --skip-test
                  embed secret keys into plots with public keys without testing
  --check-plots
                  test all plots for errors
  --low-priority
                  lower mining threads priority
  --no-ntp
                  do not check system clock

Example:
  ./client -d,1TB /mnt/plot_storage1 -d /mnt/plot_storage2 -a xch1...ejh
  ./client -d,t /tmp -d,~t /mnt/plot_storage -a xch1...ejh

)USAGE";

void PrintUsage(FILE* err, const char* programName) { std::fprintf(err, UsageText, programName); }
