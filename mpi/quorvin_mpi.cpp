// quorvin-mpi: the command line's run spread over the processes of an MPI
// job. Every process reads the table's text from process 0, computes the
// correlation itself (cheaper than sending it: V^2 N / threads against V^2
// doubles over the network), and searches its share of the pairs; the shares
// travel to process 0, which writes the result files as the program does.
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/run.h"
#include "library/network.h"

namespace {

// The most elements of one message, well within an int count.
constexpr size_t chunk = size_t{1} << 26;

template <typename T>
MPI_Datatype datatype_of();
template <>
MPI_Datatype datatype_of<double>() { return MPI_DOUBLE; }
template <>
MPI_Datatype datatype_of<int32_t>() { return MPI_INT32_T; }
template <>
MPI_Datatype datatype_of<char>() { return MPI_CHAR; }

// data, in chunks, from process `from` to `to`: the size first.
template <typename T>
void send_all(const std::vector<T>& data, int to) {
  const unsigned long long size = data.size();
  MPI_Send(&size, 1, MPI_UNSIGNED_LONG_LONG, to, 0, MPI_COMM_WORLD);
  for (size_t at = 0; at < data.size(); at += chunk)
    MPI_Send(data.data() + at, static_cast<int>(std::min(chunk, data.size() - at)), datatype_of<T>(),
             to, 0, MPI_COMM_WORLD);
}

template <typename T>
void receive_all(std::vector<T>& data, int from) {
  unsigned long long size = 0;
  MPI_Recv(&size, 1, MPI_UNSIGNED_LONG_LONG, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  data.resize(size);
  for (size_t at = 0; at < data.size(); at += chunk)
    MPI_Recv(data.data() + at, static_cast<int>(std::min(chunk, data.size() - at)), datatype_of<T>(),
             from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

template <typename T>
void broadcast(std::vector<T>& data) {
  unsigned long long size = data.size();
  MPI_Bcast(&size, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
  data.resize(size);
  for (size_t at = 0; at < data.size(); at += chunk)
    MPI_Bcast(data.data() + at, static_cast<int>(std::min(chunk, data.size() - at)), datatype_of<T>(),
              0, MPI_COMM_WORLD);
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  int status = 2;
  if (argc < 2) {
    if (rank == 0)
      std::fprintf(stderr, "quorvin: quorvin-mpi needs a table: mpirun quorvin-mpi [OPTION]... TABLE\n");
  } else {
    quorvin::Spread spread;
    spread.process = rank;
    spread.processes = size;
    spread.agree = [rank](bool ok, std::string& message) {
      // The first process that failed tells process 0 why.
      const int mine = ok ? INT_MAX : rank;
      int first = INT_MAX;
      MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
      if (first == INT_MAX) return true;
      if (first != 0) {
        std::vector<char> text(message.begin(), message.end());
        if (rank == first) send_all(text, 0);
        if (rank == 0) {
          receive_all(text, first);
          message.assign(text.begin(), text.end());
        }
      }
      return false;
    };
    spread.share_text = [](std::string& text) {
      std::vector<char> bytes(text.begin(), text.end());
      std::string().swap(text);
      broadcast(bytes);
      text.assign(bytes.begin(), bytes.end());
    };
    spread.gather = [rank, size](quorvin::Network& network, double cpu_seconds,
                                 std::vector<double>& search_cpu) {
      search_cpu.assign(static_cast<size_t>(size), 0.0);
      MPI_Gather(&cpu_seconds, 1, MPI_DOUBLE, search_cpu.data(), 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
      std::vector<double> values;
      std::vector<int32_t> controls;
      if (rank != 0) {
        quorvin::pack_share(network, {rank, size}, values, controls);
        send_all(values, 0);
        send_all(controls, 0);
        return;
      }
      for (int from = 1; from < size; ++from) {
        receive_all(values, from);
        receive_all(controls, from);
        quorvin::unpack_share(network, {from, size}, values.data(), controls.data());
      }
    };
    status = quorvin::run_command_line(argc, argv, spread);
  }
  MPI_Finalize();
  return status;
}
