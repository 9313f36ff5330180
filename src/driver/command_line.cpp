#include "driver/command_line.h"

#include <climits>
#include <cstdlib>
#include <getopt.h>

namespace quorvin {

namespace {

enum LongOnly { variables_in_columns = 256, drop_missing, no_labels, edges };

const option long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"threads", required_argument, nullptr, 't'},
    {"quiet", no_argument, nullptr, 'q'},
    {"variables-in-columns", no_argument, nullptr, variables_in_columns},
    {"drop-missing", no_argument, nullptr, drop_missing},
    {"no-labels", no_argument, nullptr, no_labels},
    {"edges", required_argument, nullptr, edges},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0}};

}  // namespace

bool parse_command_line(int argc, char** argv, Options& options, std::string& message) {
  opterr = 0;  // every usage error is our own one line
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":o:t:qhV", long_options, nullptr)) != -1) {
    switch (c) {
      case 'o':
        if (*optarg == '\0') {
          message = "the folder of -o is empty";
          return false;
        }
        options.folder = optarg;
        break;
      case 't': {
        char* end = nullptr;
        const long threads = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || threads < 1 || threads > 4096) {
          message = std::string("the thread count of -t must be a whole number from 1 to 4096, not '") +
                    optarg + "'";
          return false;
        }
        options.threads = static_cast<int32_t>(threads);
        break;
      }
      case edges:
        if (*optarg == '\0') {
          message = "the file of --edges is empty";
          return false;
        }
        options.edge_table = optarg;
        break;
      case 'q': options.quiet = true; break;
      case variables_in_columns: options.layout.variables_in_columns = true; break;
      case drop_missing: options.layout.drop_missing = true; break;
      case no_labels: options.layout.no_labels = true; break;
      case 'h': options.help = true; return true;
      case 'V': options.version = true; return true;
      case ':':
        message = std::string("option ") + argv[optind - 1] + " needs a value";
        return false;
      default: {
        const std::string typed = argv[optind - 1];
        const size_t equals = typed.find('=');
        if (typed.rfind("--", 0) != 0)
          message = std::string("unknown option -") + static_cast<char>(optopt);
        else if (optopt != 0 && equals != std::string::npos)
          message = "option " + typed.substr(0, equals) + " takes no value";
        else
          message = "unknown option " + typed;
        return false;
      }
    }
  }
  if (optind == argc) {
    message = "no table given";
    return false;
  }
  if (argc - optind > 1) {
    message = std::string("one table only, but '") + argv[optind + 1] + "' follows '" +
              argv[optind] + "'";
    return false;
  }
  options.table = argv[optind];
  return true;
}

const char* help_text() {
  return "Usage: quorvin [OPTION]... TABLE\n"
         "  or:  quorvin\n"
         "Build association networks from TABLE: the Spearman correlation of every pair\n"
         "of variables, its first- and second-order partial correlations, and for each\n"
         "pair the coefficient of smallest magnitude, written as a matrix, three\n"
         "interaction lists (SIF) and three Pajek networks at the levels 0.01, 0.001\n"
         "and 0.0001.\n"
         "\n"
         "TABLE holds a header line of labels, with or without a corner cell, and one\n"
         "row per variable: its name and one value per label. Fields are separated by\n"
         "blanks, tabs, commas or semicolons (then a comma may be the decimal mark), as\n"
         "written by R's write.csv, write.csv2 and write.table and by pandas' to_csv; a\n"
         "field may be quoted. With TABLE '-', standard input is read.\n"
         "\n"
         "  -o, --output=DIR          write the seven result files to DIR, created if\n"
         "                              missing (default: the working directory); they\n"
         "                              replace earlier results only once all are done\n"
         "  -t, --threads=N           use N threads (default: every core, or\n"
         "                              OMP_NUM_THREADS when set)\n"
         "  -q, --quiet               print no progress report\n"
         "      --variables-in-columns  a variable per column and an observation per row,\n"
         "                              as data frames are written\n"
         "      --no-labels           the table has no observation labels: no header\n"
         "                              line (every line is a variable: its name, then\n"
         "                              its values), or with --variables-in-columns no\n"
         "                              labels column (every column is a variable)\n"
         "      --drop-missing        leave out the variables that have a missing value\n"
         "                              (NA, NaN or an empty cell) instead of refusing\n"
         "                              the table\n"
         "      --edges=FILE          also write FILE, a tab-separated table of the pairs\n"
         "                              significant at 0.01 alone or after the controls:\n"
         "                              both coefficients, the order and the controls of\n"
         "                              the one kept, and its level; with FILE '-', write\n"
         "                              it to standard output and the summary to\n"
         "                              standard error\n"
         "  -h, --help                display this help and exit\n"
         "  -V, --version             output version information and exit\n"
         "\n"
         "Without arguments, quorvin asks for the number of variables and observations\n"
         "and reads data.txt in the working directory, as it always has.\n"
         "\n"
         "Exit status: 0 when the results were written, 1 when the run failed, 2 for an\n"
         "error in the arguments.\n"
         "Full documentation: man quorvin\n";
}

std::string version_text() { return std::string("quorvin ") + QUORVIN_VERSION + "\n"; }

}  // namespace quorvin
