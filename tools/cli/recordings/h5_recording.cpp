// HDF5 recordings through the HDF5 C library.
#include "recordings/h5_recording.h"

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

#include "device/device.h"
#include "recordings/isolated_read.h"
#include "output/printable.h"
#include "output/terminal.h"
#include "version.h"

namespace velmora::cli {
namespace {

// The system's reason for the failure HDF5 is reporting ("No space left on
// device"), as ": reason", or "" when it gave none. Read before the next
// HDF5 call, which clears the error stack.
std::string SystemReason() {
  std::string reason;
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_DOWNWARD,
      [](unsigned, const H5E_error2_t* e, void* data) -> herr_t {
        static const char Marker[] = "error message = '";
        const char* at = e->desc != nullptr ? std::strstr(e->desc, Marker) : nullptr;
        if (at == nullptr) return 0;
        at += sizeof Marker - 1;
        const char* end = std::strchr(at, '\'');
        *static_cast<std::string*>(data) = ": " + std::string(at, end != nullptr ? end : at + std::strlen(at));
        return 1;
      },
      &reason);
  return reason;
}

// One HDF5 identifier, closed with its own close function.
class Id {
 public:
  Id() = default;
  Id(hid_t id, herr_t (*close)(hid_t), const char* what) : H(id), CloseFn(close) {
    if (id < 0) throw Failure(std::string("HDF5: cannot ") + what + SystemReason());
  }
  ~Id() { Reset(); }
  Id(Id&& o) noexcept : H(o.H), CloseFn(o.CloseFn) { o.H = -1; }
  Id& operator=(Id&& o) noexcept {
    if (this != &o) {
      Reset();
      H = o.H;
      CloseFn = o.CloseFn;
      o.H = -1;
    }
    return *this;
  }
  hid_t operator*() const { return H; }
  // Closes now and reports a failure (a destructor cannot).
  void Close(const char* what) {
    const hid_t h = H;
    H = -1;
    if (h >= 0 && CloseFn(h) < 0) throw Failure(std::string("HDF5: cannot close ") + what + SystemReason());
  }

 private:
  void Reset() {
    if (H >= 0) CloseFn(H);
    H = -1;
  }
  hid_t H = -1;
  herr_t (*CloseFn)(hid_t) = nullptr;
};

void Ok(herr_t status, const char* what) {
  if (status < 0) throw Failure(std::string("HDF5: cannot ") + what + SystemReason());
}

// HDF5 prints its own error stack by default; the tool reports failures itself.
// Its exit handler closes what is still open, and on a file whose close
// failed (a full disk) it crashes: every file is closed by the tool, so the
// handler is left out. Both must come before any other HDF5 call.
void Quiet() {
  H5dont_atexit();
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

void ReplaceAttribute(hid_t where, const char* name, hid_t fileType, hid_t memType, const void* value) {
  if (H5Aexists(where, name) > 0) Ok(H5Adelete(where, name), "replace an attribute");
  Id space(H5Screate(H5S_SCALAR), H5Sclose, "make an attribute");
  Id a(H5Acreate2(where, name, fileType, *space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose, "create an attribute");
  Ok(H5Awrite(*a, memType, value), "write an attribute");
}

void SetInt(hid_t where, const char* name, std::int64_t value) {
  ReplaceAttribute(where, name, H5T_STD_I64LE, H5T_NATIVE_INT64, &value);
}

void SetDouble(hid_t where, const char* name, double value) {
  ReplaceAttribute(where, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &value);
}

Id TextType() {
  Id t(H5Tcopy(H5T_C_S1), H5Tclose, "make a string type");
  Ok(H5Tset_size(*t, H5T_VARIABLE), "make a string type");
  Ok(H5Tset_cset(*t, H5T_CSET_UTF8), "make a string type");
  return t;
}

void SetText(hid_t where, const char* name, const std::string& value) {
  const Id t = TextType();
  const char* text = value.c_str();
  ReplaceAttribute(where, name, *t, *t, &text);
}

void SetTexts(hid_t where, const char* name, const std::vector<const char*>& values) {
  if (H5Aexists(where, name) > 0) Ok(H5Adelete(where, name), "replace an attribute");
  const Id t = TextType();
  const hsize_t n = values.size();
  Id space(H5Screate_simple(1, &n, nullptr), H5Sclose, "make an attribute");
  Id a(H5Acreate2(where, name, *t, *space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose, "create an attribute");
  Ok(H5Awrite(*a, *t, values.data()), "write an attribute");
}

hid_t StoredType(int bytes) {
  return bytes == 1 ? H5T_STD_U8LE : bytes == 2 ? H5T_STD_U16LE : bytes == 4 ? H5T_STD_U32LE : H5T_STD_U64LE;
}

// A growing dataset of `columns` uint64 (columns 0: one dimension) or of
// samples, appended to in blocks.
class Appendable {
 public:
  Appendable(hid_t file, const char* name, hid_t fileType, hsize_t columns, hsize_t chunkRows, int deflate)
      : Columns(columns) {
    const int rank = columns == 0 ? 1 : 2;
    const hsize_t dims[2] = {0, columns}, maxDims[2] = {H5S_UNLIMITED, columns}, chunk[2] = {chunkRows, columns};
    Id space(H5Screate_simple(rank, dims, maxDims), H5Sclose, "make a dataspace");
    Id plist(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, "make a dataset property list");
    Ok(H5Pset_chunk(*plist, rank, chunk), "set the chunk size");
    if (deflate > 0) {
      // Shuffling groups the bytes of equal significance: slowly changing
      // samples then deflate far better.
      Ok(H5Pset_shuffle(*plist), "set the shuffle filter");
      Ok(H5Pset_deflate(*plist, static_cast<unsigned>(deflate)), "set deflate compression");
    }
    Set = Id(H5Dcreate2(file, name, fileType, *space, H5P_DEFAULT, *plist, H5P_DEFAULT), H5Dclose,
             "create a dataset");
  }

  // Appends `rows` rows of `memType` from `data`.
  void Append(hid_t memType, const void* data, hsize_t rows) {
    if (rows == 0) return;
    const int rank = Columns == 0 ? 1 : 2;
    const hsize_t size[2] = {Rows + rows, Columns};
    Ok(H5Dset_extent(*Set, size), "extend a dataset");
    Id fileSpace(H5Dget_space(*Set), H5Sclose, "get a dataspace");
    const hsize_t start[2] = {Rows, 0}, count[2] = {rows, Columns};
    Ok(H5Sselect_hyperslab(*fileSpace, H5S_SELECT_SET, start, nullptr, count, nullptr), "select rows");
    Id memSpace(H5Screate_simple(rank, count, nullptr), H5Sclose, "make a dataspace");
    Ok(H5Dwrite(*Set, memType, *memSpace, *fileSpace, H5P_DEFAULT, data), "write a dataset");
    Rows += rows;
  }

  hid_t Handle() const { return *Set; }
  void Close(const char* what) { Set.Close(what); }

 private:
  hsize_t Columns;
  hsize_t Rows = 0;
  Id Set;
};

void SetColumns(hid_t set, const std::vector<const char*>& names) { SetTexts(set, "columns", names); }

// The device's settings by name, once for the root's attributes and the
// NeXus collection's datasets alike.
template <typename Integer, typename Text>
void EachSetting(const RecordingInfo& r, Integer integer, Text text) {
  integer("frequency_hz", r.FrequencyHz);
  integer("packet_bits", r.PacketBits);
  integer("sample_bytes", r.SampleBytes);
  integer("stored_sample_bytes", StoredSampleBytes(r.SampleBytes));
  integer("block_bytes", r.BlockBytes);
  text("azero", AZeroText(r.AZero));
  text("lines", LinesText(r.Lines));
  text("mode", r.Mode);
  integer("attach", r.Attach ? 1 : 0);
  text("host", r.Host);
  integer("channel", r.Channel);
}

void WriteSettings(hid_t root, const RecordingInfo& r) {
  EachSetting(
      r, [root](const char* name, std::int64_t value) { SetInt(root, name, value); },
      [root](const char* name, const std::string& value) { SetText(root, name, value); });
  SetText(root, "start_time_utc", r.StartUtc);
  SetText(root, "tool_version", r.ToolVersion);
  SetText(root, "library_version", r.LibraryVersion);
}

void WriteOutcome(hid_t root, const RecordingInfo& r) {
  SetText(root, "ended", r.Ended);
  SetInt(root, "first_sample", static_cast<std::int64_t>(r.FirstSample));
  SetInt(root, "samples", static_cast<std::int64_t>(r.Samples));
  SetInt(root, "target_samples", static_cast<std::int64_t>(r.TargetSamples));
  SetInt(root, "lost_samples", static_cast<std::int64_t>(r.LostSamples));
  SetInt(root, "bytes", static_cast<std::int64_t>(r.Bytes));
  SetInt(root, "replies", static_cast<std::int64_t>(r.Replies));
  SetDouble(root, "seconds", r.Seconds);
}

constexpr hsize_t SampleChunk = 1 << 16;  // samples per chunk and per write

// File access with a small metadata cache. By default HDF5 lets it grow to
// 32 MiB as the chunk index of a long run grows; capped, a run of any
// length holds the same memory, and flushing once a second keeps what it
// evicts on disk.
Id BoundedCache() {
  Id fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, "make a file access property list");
  H5AC_cache_config_t cache;
  cache.version = H5AC__CURR_CACHE_CONFIG_VERSION;
  Ok(H5Pget_mdc_config(*fapl, &cache), "read the metadata cache settings");
  cache.set_initial_size = true;
  cache.initial_size = 1 << 20;
  cache.min_size = 1 << 19;
  cache.max_size = 2 << 20;
  Ok(H5Pset_mdc_config(*fapl, &cache), "set the metadata cache size");
  return fapl;
}

Id MakeGroup(hid_t where, const char* name, const char* nxClass) {
  Id g(H5Gcreate2(where, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose, "create a group");
  SetText(*g, "NX_class", nxClass);
  return g;
}

// A scalar dataset, created or overwritten.
void WriteScalar(hid_t where, const char* name, hid_t fileType, hid_t memType, const void* value) {
  Id set;
  if (H5Lexists(where, name, H5P_DEFAULT) > 0) {
    set = Id(H5Dopen2(where, name, H5P_DEFAULT), H5Dclose, "open a dataset");
  } else {
    Id space(H5Screate(H5S_SCALAR), H5Sclose, "make a dataspace");
    set = Id(H5Dcreate2(where, name, fileType, *space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Dclose,
             "create a dataset");
  }
  Ok(H5Dwrite(*set, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, value), "write a dataset");
}

void WriteScalarText(hid_t where, const char* name, const std::string& value) {
  const Id t = TextType();
  const char* text = value.c_str();
  WriteScalar(where, name, *t, *t, &text);
}

void WriteScalarInt(hid_t where, const char* name, std::int64_t value) {
  WriteScalar(where, name, H5T_STD_I64LE, H5T_NATIVE_INT64, &value);
}

// The settings once more as datasets of the device's collection, where
// NeXus readers look for them.
void WriteSettingDatasets(hid_t collection, const RecordingInfo& r) {
  EachSetting(
      r, [collection](const char* name, std::int64_t value) { WriteScalarInt(collection, name, value); },
      [collection](const char* name, const std::string& value) { WriteScalarText(collection, name, value); });
  WriteScalarText(collection, "start_time", NexusTime(r.StartUtc));
  WriteScalarText(collection, "ended", r.Ended);
}

// Writes the time axis `time` of an NXdata group: [first, step] while the
// samples follow each other without a break (read as t = first + i x step),
// else one value per sample from `segments` (position in the samples, index
// in the stream, where each unbroken stretch starts).
void WriteTimeAxis(hid_t data, std::uint64_t samples, double frequency,
                   const std::vector<std::pair<std::uint64_t, std::uint64_t>>& segments) {
  if (H5Lexists(data, "time", H5P_DEFAULT) > 0) Ok(H5Ldelete(data, "time", H5P_DEFAULT), "replace the time axis");
  // Two samples with a two-value axis would read as two times, not a calibration.
  if (segments.size() <= 1 && samples != 2) {
    const double first = segments.empty() ? 0 : double(segments.front().second) / frequency;
    const double axis[2] = {first, 1 / frequency};
    const hsize_t n = 2;
    Id space(H5Screate_simple(1, &n, nullptr), H5Sclose, "make a dataspace");
    Id set(H5Dcreate2(data, "time", H5T_IEEE_F64LE, *space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Dclose,
           "create the time axis");
    Ok(H5Dwrite(*set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, axis), "write the time axis");
    SetText(*set, "units", "s");
    return;
  }
  Appendable axis(data, "time", H5T_IEEE_F64LE, 0, SampleChunk, 1);
  SetText(axis.Handle(), "units", "s");
  std::vector<double> block;
  block.reserve(SampleChunk);
  std::size_t seg = 0;
  for (std::uint64_t i = 0; i < samples; ++i) {
    while (seg + 1 < segments.size() && segments[seg + 1].first <= i) ++seg;
    const auto& s = segments[seg];
    block.push_back(double(s.second + (i - s.first)) / frequency);
    if (block.size() == SampleChunk) {
      axis.Append(H5T_NATIVE_DOUBLE, block.data(), block.size());
      block.clear();
    }
  }
  axis.Append(H5T_NATIVE_DOUBLE, block.data(), block.size());
  axis.Close("the time axis");
}

}  // namespace

// The file and the lock every HDF5 call on it takes: the devices of a group
// write from their own threads, and the library is not built for that.
struct H5Shared {
  Id File;
  std::mutex Lock;
  std::string Path;

  template <typename Step>
  void Writing(Step step) {
    try {
      step();
    } catch (const Failure& f) {
      throw Failure("cannot write " + Path + ": " + f.what());
    }
  }
};

struct H5Recording::Impl {
  std::shared_ptr<H5Shared> Shared;
  bool Single = true;  // the only device of its file: the file is its to close
  Id Entry, DataGroup, Collection, ReplyLog, GapLog;
  hid_t AttrsAt = -1;  // where the settings and outcome attributes go
  std::unique_ptr<Appendable> Samples, Stamps, Lost, ReplyTime, ReplyValue, GapTime, GapEnd, GapValue, GapFirst,
      GapEstimated;
  int Width = 2;
  double Frequency = 1;
  hid_t MemType = -1;  // set after Quiet(): naming a type starts the library
  std::vector<unsigned char> Pending;  // room for one chunk of samples in the stored width
  std::size_t PendingBytes = 0;       // of which written to
  std::vector<std::uint64_t> PendingStamps, PendingLost, PendingReplyValues, PendingGapValues, PendingGapFirst,
      PendingGapEstimated;
  std::vector<double> PendingReplyTimes, PendingGapTimes, PendingGapEnds;
  // Where each unbroken stretch of samples starts: position in /samples,
  // index in the stream.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Segments;
  std::uint64_t Written = 0;  // samples handed over so far
  double LastFlush = 0, Started = 0;

  void WriteSamples() {
    Samples->Append(MemType, Pending.data(), PendingBytes / static_cast<std::size_t>(Width));
    PendingBytes = 0;
  }

  // With the lock held.
  void WritePending() {
    WriteSamples();
    Stamps->Append(H5T_NATIVE_UINT64, PendingStamps.data(), PendingStamps.size() / 5);
    PendingStamps.clear();
    Lost->Append(H5T_NATIVE_UINT64, PendingLost.data(), PendingLost.size() / 2);
    PendingLost.clear();
    ReplyTime->Append(H5T_NATIVE_DOUBLE, PendingReplyTimes.data(), PendingReplyTimes.size());
    ReplyValue->Append(H5T_NATIVE_UINT64, PendingReplyValues.data(), PendingReplyValues.size());
    PendingReplyTimes.clear();
    PendingReplyValues.clear();
    GapTime->Append(H5T_NATIVE_DOUBLE, PendingGapTimes.data(), PendingGapTimes.size());
    GapEnd->Append(H5T_NATIVE_DOUBLE, PendingGapEnds.data(), PendingGapEnds.size());
    GapValue->Append(H5T_NATIVE_UINT64, PendingGapValues.data(), PendingGapValues.size());
    GapFirst->Append(H5T_NATIVE_UINT64, PendingGapFirst.data(), PendingGapFirst.size());
    GapEstimated->Append(H5T_NATIVE_UINT64, PendingGapEstimated.data(), PendingGapEstimated.size());
    PendingGapTimes.clear();
    PendingGapEnds.clear();
    PendingGapValues.clear();
    PendingGapFirst.clear();
    PendingGapEstimated.clear();
  }

  void CloseAll() {
    for (auto* a : {&Samples, &Stamps, &Lost, &ReplyTime, &ReplyValue, &GapTime, &GapEnd, &GapValue, &GapFirst,
                    &GapEstimated})
      if (*a) (*a)->Close("a dataset");
    for (Id* g : {&GapLog, &ReplyLog, &Collection, &DataGroup, &Entry}) g->Close("a group");
  }

  // `samplesAt`: the group the samples dataset is made in; `logsAt`: the
  // device's collection, which gets the logs.
  void Create(hid_t samplesAt, hid_t stampsAt, const RecordingInfo& info) {
    Width = StoredSampleBytes(info.SampleBytes);
    Frequency = info.FrequencyHz > 0 ? info.FrequencyHz : 1;
    MemType = Width == 1 ? H5T_NATIVE_UINT8 : Width == 2 ? H5T_NATIVE_UINT16 : Width == 4 ? H5T_NATIVE_UINT32
                                                                                           : H5T_NATIVE_UINT64;
    Samples.reset(new Appendable(samplesAt, "samples", StoredType(Width), 0, SampleChunk, 1));
    Stamps.reset(new Appendable(stampsAt, "stamps", H5T_STD_U64LE, 5, 1024, 1));
    SetColumns(Stamps->Handle(), {"time_us", "packet", "offset", "position", "first_sample"});
    Lost.reset(new Appendable(stampsAt, "lost", H5T_STD_U64LE, 2, 256, 0));
    SetColumns(Lost->Handle(), {"first_sample", "samples"});
    ReplyLog = MakeGroup(*Collection, "reply_times", "NXlog");
    ReplyTime.reset(new Appendable(*ReplyLog, "time", H5T_IEEE_F64LE, 0, 1024, 1));
    SetText(ReplyTime->Handle(), "units", "s");
    ReplyValue.reset(new Appendable(*ReplyLog, "value", H5T_STD_U64LE, 0, 1024, 1));
    GapLog = MakeGroup(*Collection, "gaps", "NXlog");
    GapTime.reset(new Appendable(*GapLog, "time", H5T_IEEE_F64LE, 0, 256, 0));
    SetText(GapTime->Handle(), "units", "s");
    GapEnd.reset(new Appendable(*GapLog, "end_time", H5T_IEEE_F64LE, 0, 256, 0));
    SetText(GapEnd->Handle(), "units", "s");
    GapValue.reset(new Appendable(*GapLog, "value", H5T_STD_U64LE, 0, 256, 0));
    GapFirst.reset(new Appendable(*GapLog, "first_sample", H5T_STD_U64LE, 0, 256, 0));
    GapEstimated.reset(new Appendable(*GapLog, "estimated", H5T_STD_U8LE, 0, 256, 0));
    if (H5Lexists(*DataGroup, "samples", H5P_DEFAULT) <= 0)
      Ok(H5Lcreate_hard(samplesAt, "samples", *DataGroup, "samples", H5P_DEFAULT, H5P_DEFAULT), "link the samples");
    SetText(*DataGroup, "signal", "samples");
    SetText(*DataGroup, "axes", "time");
    WriteTimeAxis(*DataGroup, 0, Frequency, Segments);
    WriteDescription(info);
    Pending.resize(SampleChunk * Width);
    Started = NowSeconds();
  }

  void WriteDescription(const RecordingInfo& info) {
    WriteSettings(AttrsAt, info);
    WriteOutcome(AttrsAt, info);
    WriteSettingDatasets(*Collection, info);
    SetText(*ReplyLog, "start", NexusTime(info.StartUtc));
    SetText(*GapLog, "start", NexusTime(info.StartUtc));
  }
};

namespace {

void WriteRootNexus(hid_t root, const char* defaultEntry) {
  SetText(root, "NX_class", "NXroot");
  SetText(root, "default", defaultEntry);
  SetText(root, "creator", std::string("velmora ") + ToolVersion);
  SetText(root, "file_time", NexusTime(UtcNow()));
}

std::shared_ptr<H5Shared> CreateFile(const std::string& path) {
  Quiet();
  auto shared = std::make_shared<H5Shared>();
  shared->Path = path;
  shared->File = Id(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, *BoundedCache()), H5Fclose,
                    ("create " + path).c_str());
  return shared;
}

}  // namespace

bool H5Recording::Available() { return true; }

H5Recording::H5Recording(const std::string& path, const RecordingInfo& info) : P(new Impl) {
  P->Shared = CreateFile(path);
  const hid_t f = *P->Shared->File;
  P->Shared->Writing([&] {
    WriteRootNexus(f, "entry");
    P->Entry = MakeGroup(f, "entry", "NXentry");
    SetText(*P->Entry, "default", "data");
    WriteScalarText(*P->Entry, "start_time", NexusTime(UtcNow()));
    WriteScalarText(*P->Entry, "end_time", NexusTime(UtcNow()));
    P->DataGroup = MakeGroup(*P->Entry, "data", "NXdata");
    Id instrument = MakeGroup(*P->Entry, "instrument", "NXinstrument");
    P->Collection = MakeGroup(*instrument, "device", "NXcollection");
    P->AttrsAt = f;
    P->Create(f, f, info);
  });
  Flush(true);
}

H5Recording::H5Recording(std::shared_ptr<H5Shared> shared, int index, const RecordingInfo& info) : P(new Impl) {
  P->Shared = std::move(shared);
  P->Single = false;
  const std::string name = "device" + std::to_string(index);
  std::lock_guard<std::mutex> hold(P->Shared->Lock);
  P->Shared->Writing([&] {
    Id entry(H5Gopen2(*P->Shared->File, "entry", H5P_DEFAULT), H5Gclose, "open the entry");
    Id instrument(H5Gopen2(*entry, "instrument", H5P_DEFAULT), H5Gclose, "open the instrument");
    P->DataGroup = MakeGroup(*entry, name.c_str(), "NXdata");
    P->Collection = MakeGroup(*instrument, name.c_str(), "NXcollection");
    P->AttrsAt = *P->Collection;
    P->Create(*P->DataGroup, *P->Collection, info);
  });
}

H5Recording::~H5Recording() = default;

void H5Recording::Begin() { P->Started = NowSeconds(); }

void H5Recording::Sample(std::uint64_t value) {
  // Copied in the host's order: the memory type is the native one.
  unsigned char* to = &P->Pending[P->PendingBytes];
  switch (P->Width) {
    case 1: *to = static_cast<unsigned char>(value); break;
    case 2: { const std::uint16_t v = static_cast<std::uint16_t>(value); std::memcpy(to, &v, 2); break; }
    case 4: { const std::uint32_t v = static_cast<std::uint32_t>(value); std::memcpy(to, &v, 4); break; }
    default: std::memcpy(to, &value, 8); break;
  }
  P->PendingBytes += static_cast<std::size_t>(P->Width);
  ++P->Written;
  if (P->PendingBytes == P->Pending.size()) {
    std::lock_guard<std::mutex> hold(P->Shared->Lock);
    P->Shared->Writing([&] { P->WriteSamples(); });
  }
}

void H5Recording::Stamp(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, std::uint64_t position,
                        std::uint64_t firstSample) {
  P->PendingStamps.insert(P->PendingStamps.end(), {timeUs, packet, offset, position, firstSample});
  P->PendingReplyTimes.push_back(NowSeconds() - P->Started);
  P->PendingReplyValues.push_back(firstSample);
  // A reply that holds no whole sample starts no stretch.
  if (P->Written == position) return;
  auto& segs = P->Segments;
  if (segs.empty() || segs.back().second + (position - segs.back().first) != firstSample)
    segs.emplace_back(position, firstSample);
}

void H5Recording::Gap(std::uint64_t firstSample, std::uint64_t samples) {
  const double now = NowSeconds() - P->Started;
  Outage(firstSample, samples, now, now, false);
}

void H5Recording::Outage(std::uint64_t firstSample, std::uint64_t samples, double beginS, double endS,
                         bool estimated) {
  P->PendingLost.insert(P->PendingLost.end(), {firstSample, samples});
  P->PendingGapTimes.push_back(beginS);
  P->PendingGapEnds.push_back(endS);
  P->PendingGapValues.push_back(samples);
  P->PendingGapFirst.push_back(firstSample);
  P->PendingGapEstimated.push_back(estimated ? 1 : 0);
}

double H5Recording::SecondsSinceStart() const { return NowSeconds() - P->Started; }

void H5Recording::Flush(bool now) {
  const double t = NowSeconds();
  if (!now && t - P->LastFlush < 1) return;
  P->LastFlush = t;
  std::lock_guard<std::mutex> hold(P->Shared->Lock);
  P->Shared->Writing([&] {
    P->WritePending();
    if (P->Single) WriteScalarText(*P->Entry, "end_time", NexusTime(UtcNow()));
    Ok(H5Fflush(*P->Shared->File, H5F_SCOPE_LOCAL), "flush the file");
  });
}

void H5Recording::Finish(const RecordingInfo& info) {
  Flush(true);
  std::lock_guard<std::mutex> hold(P->Shared->Lock);
  P->Shared->Writing([&] {
    P->WriteDescription(info);  // the start time is known only once the run began
    if (P->Single) WriteScalarText(*P->Entry, "start_time", NexusTime(info.StartUtc));
    WriteTimeAxis(*P->DataGroup, P->Written, P->Frequency, P->Segments);
    P->CloseAll();
    if (P->Single) P->Shared->File.Close("the file");
  });
}

void H5Recording::Abandon() {
  std::lock_guard<std::mutex> hold(P->Shared->Lock);
  for (auto* a : {&P->Samples, &P->Stamps, &P->Lost, &P->ReplyTime, &P->ReplyValue, &P->GapTime, &P->GapEnd,
                  &P->GapValue, &P->GapFirst, &P->GapEstimated})
    a->reset();
  for (Id* g : {&P->GapLog, &P->ReplyLog, &P->Collection, &P->DataGroup, &P->Entry}) *g = Id();
  if (P->Single) P->Shared->File = Id();
}

H5GroupRecording::H5GroupRecording(const std::string& path, int devices) : Shared(CreateFile(path)) {
  const hid_t f = *Shared->File;
  Shared->Writing([&] {
    WriteRootNexus(f, "entry");
    SetInt(f, "devices", devices);
    Id entry = MakeGroup(f, "entry", "NXentry");
    SetText(*entry, "default", "device0");
    WriteScalarText(*entry, "start_time", NexusTime(UtcNow()));
    WriteScalarText(*entry, "end_time", NexusTime(UtcNow()));
    Id instrument = MakeGroup(*entry, "instrument", "NXinstrument");
    Ok(H5Fflush(f, H5F_SCOPE_LOCAL), "flush the file");
  });
}

H5GroupRecording::~H5GroupRecording() = default;

std::unique_ptr<H5Recording> H5GroupRecording::Add(int index, const RecordingInfo& info) {
  return std::unique_ptr<H5Recording>(new H5Recording(Shared, index, info));
}

void H5GroupRecording::Finish(const std::string& startUtc, double startSpreadS) {
  std::lock_guard<std::mutex> hold(Shared->Lock);
  Shared->Writing([&] {
    Id entry(H5Gopen2(*Shared->File, "entry", H5P_DEFAULT), H5Gclose, "open the entry");
    WriteScalarText(*entry, "start_time", NexusTime(startUtc));
    WriteScalarText(*entry, "end_time", NexusTime(UtcNow()));
    const double spread = startSpreadS;
    WriteScalar(*entry, "start_spread_s", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &spread);
    Id set(H5Dopen2(*entry, "start_spread_s", H5P_DEFAULT), H5Dclose, "open a dataset");
    SetText(*set, "units", "s");
    set.Close("a dataset");
    entry.Close("the entry");
    Shared->File.Close("the file");
  });
}

void H5GroupRecording::Abandon() {
  std::lock_guard<std::mutex> hold(Shared->Lock);
  Shared->File = Id();
}

namespace {

// How much of /lost is read at a time, and the largest stored piece (chunk)
// read at all: HDF5 reads a chunk whole, so a file declaring one chunk of
// its whole extent would otherwise be read whole.
constexpr hsize_t GapRowsPerRead = 256;
constexpr std::uint64_t MaxChunkBytes = std::uint64_t(4) << 20;
// The longest text attribute read: names, versions and times are short.
constexpr std::size_t MaxTextBytes = 4096;

const char* ClassName(H5T_class_t c) {
  switch (c) {
    case H5T_INTEGER: return "a whole number";
    case H5T_FLOAT: return "a fraction";
    case H5T_STRING: return "text";
    case H5T_COMPOUND: return "a compound";
    case H5T_ARRAY: return "an array";
    case H5T_VLEN: return "a variable-length sequence";
    case H5T_REFERENCE: return "a reference";
    case H5T_ENUM: return "an enumeration";
    default: return "of another type";
  }
}

// A recording's attributes and datasets, each checked for its class, shape
// and size before it is read, into storage sized from what was checked: a
// value read as one number or one string pointer is known to hold exactly
// one of them. Anything else is a DamagedFile that names the item.
class CheckedReader {
 public:
  CheckedReader(hid_t root, const std::string& where) : Root(root), Where(where) {}

  bool Has(const char* name) const { return H5Aexists(Root, name) > 0; }

  // A setting, which every recording holds.
  std::int64_t Setting(const char* name) const {
    if (!Has(name)) throw Damaged("attribute " + std::string(name) + " is missing");
    return Integer(name);
  }

  std::int64_t Integer(const char* name) const {
    if (!Has(name)) return 0;
    const Id a = OpenSingle(name, H5T_INTEGER);
    std::int64_t value = 0;
    if (H5Aread(*a, H5T_NATIVE_INT64, &value) < 0) throw Damaged("attribute " + std::string(name) + " cannot be read");
    return InRange(Where, "attribute " + std::string(name), name, value);
  }

  std::uint64_t Count(const char* name) const { return static_cast<std::uint64_t>(Integer(name)); }

  double Number(const char* name) const {
    if (!Has(name)) return 0;
    const Id a = OpenSingle(name, H5T_FLOAT);
    double value = 0;
    if (H5Aread(*a, H5T_NATIVE_DOUBLE, &value) < 0) throw Damaged("attribute " + std::string(name) + " cannot be read");
    if (!(value >= 0 && value <= std::numeric_limits<double>::max()))
      throw Damaged("attribute " + std::string(name) + " is negative or not a number");
    return value;
  }

  std::string Text(const char* name) const {
    if (!Has(name)) return "";
    const Id a = OpenSingle(name, H5T_STRING);
    const Id type(H5Aget_type(*a), H5Tclose, "get an attribute's type");
    const htri_t variable = H5Tis_variable_str(*type);
    if (variable < 0) throw Damaged("attribute " + std::string(name) + " cannot be read");
    // The file's own string type is the memory type too: HDF5 converts
    // between no two character sets.
    if (variable > 0) {
      char* text = nullptr;
      if (H5Aread(*a, *type, &text) < 0) throw Damaged("attribute " + std::string(name) + " cannot be read");
      std::string value = text != nullptr ? text : "";
      H5free_memory(text);
      if (value.size() > MaxTextBytes) throw Damaged("attribute " + std::string(name) + " holds " + Grouped(value.size()) + " bytes of text");
      return value;
    }
    const std::size_t size = H5Tget_size(*type);
    if (size == 0 || size > MaxTextBytes) throw Damaged("attribute " + std::string(name) + " has text of " + Grouped(size) + " bytes");
    std::vector<char> fixed(size);
    if (H5Aread(*a, *type, fixed.data()) < 0) throw Damaged("attribute " + std::string(name) + " cannot be read");
    return std::string(fixed.begin(), std::find(fixed.begin(), fixed.end(), '\0'));
  }

  // The rows and columns of the dataset `name` (columns 0 for one dimension),
  // after checking that it has `rank` dimensions and holds whole numbers.
  Id Dataset(const char* name, int rank, hsize_t (&dims)[2]) const {
    const std::string shown = "dataset " + std::string(name);
    Id set(H5Dopen2(Root, name, H5P_DEFAULT), H5Dclose, ("open " + shown).c_str());
    const Id space(H5Dget_space(*set), H5Sclose, "get a dataspace");
    const int n = H5Sget_simple_extent_ndims(*space);
    if (n != rank)
      throw Damaged(shown + " has " + std::to_string(n) + " dimensions where it has " + std::to_string(rank));
    dims[0] = dims[1] = 0;
    if (H5Sget_simple_extent_dims(*space, dims, nullptr) != rank) throw Damaged(shown + " has no size");
    const Id type(H5Dget_type(*set), H5Tclose, "get a dataset's type");
    const H5T_class_t c = H5Tget_class(*type);
    const std::size_t size = H5Tget_size(*type);
    if (c != H5T_INTEGER || size == 0 || size > 8)
      throw Damaged(shown + " holds " + ClassName(c) + " where whole numbers of at most 8 bytes belong");
    const Id create(H5Dget_create_plist(*set), H5Pclose, "get a dataset's layout");
    if (H5Pget_layout(*create) == H5D_CHUNKED) {
      hsize_t chunk[2] = {1, 1};
      if (H5Pget_chunk(*create, rank, chunk) != rank) throw Damaged(shown + " has a damaged layout");
      std::uint64_t bytes = size;
      for (int i = 0; i < rank; ++i) bytes = chunk[i] > MaxChunkBytes / bytes ? MaxChunkBytes + 1 : bytes * chunk[i];
      if (bytes > MaxChunkBytes)
        throw Damaged(shown + " is stored in pieces of more than " + FormatBytes(double(MaxChunkBytes)));
    }
    return set;
  }

  Failure Damaged(const std::string& reason) const { return DamagedFile(Where, reason); }

 private:
  // The attribute `name`, known to hold one value of class `wanted`.
  Id OpenSingle(const char* name, H5T_class_t wanted) const {
    const std::string shown = "attribute " + std::string(name);
    Id a(H5Aopen(Root, name, H5P_DEFAULT), H5Aclose, ("open " + shown).c_str());
    const Id space(H5Aget_space(*a), H5Sclose, "get an attribute's dataspace");
    const hssize_t points = H5Sget_simple_extent_npoints(*space);
    if (points != 1)
      throw Damaged(shown + " holds " + (points < 0 ? std::string("an unknown number of") : Grouped(static_cast<std::uint64_t>(points))) +
                    " values where one belongs");
    const Id type(H5Aget_type(*a), H5Tclose, "get an attribute's type");
    const H5T_class_t c = H5Tget_class(*type);
    if (c != wanted || (c != H5T_STRING && H5Tget_size(*type) > 8))
      throw Damaged(shown + " is " + ClassName(c) + " where " + ClassName(wanted) + " belongs");
    return a;
  }

  hid_t Root;
  const std::string& Where;
};

// "3=on 5=off" as it was written.
std::vector<std::pair<std::uint32_t, bool>> ParseLines(const std::string& text, const CheckedReader& file,
                                                       const std::string& where) {
  std::vector<std::pair<std::uint32_t, bool>> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(at, end - at);
    const std::size_t eq = item.find('=');
    const std::string number = item.substr(0, eq), state = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (number.empty() || number.size() > 2 || number.find_first_not_of("0123456789") != std::string::npos ||
        (state != "on" && state != "off") || lines.size() == 32)
      throw file.Damaged("attribute lines holds \"" + Printable(item.substr(0, 40)) + "\" where LINE=on or LINE=off belongs");
    lines.emplace_back(static_cast<std::uint32_t>(InRange(where, "attribute lines", "line", std::stoi(number))),
                       state == "on");
    at = end + 1;
  }
  return lines;
}

// `root` holds the attributes and /lost, `samplesAt` the samples: both the
// file's root in a single recording, a device's collection and NXdata group
// in a group file.
RecordingInfo ReadOpenRecording(hid_t root, hid_t samplesAt, const std::string& where) {
  const CheckedReader file(root, where);
  if (!file.Has("frequency_hz")) throw Failure(where + " is an HDF5 file, but not a velmora recording");
  RecordingInfo r;
  ReadCommonSettings(file, r);
  r.Lines = ParseLines(file.Text("lines"), file, where);
  r.Mode = file.Text("mode");
  r.Attach = file.Integer("attach") != 0;
  r.Host = file.Text("host");
  r.Channel = static_cast<std::int32_t>(file.Integer("channel"));
  ReadCommonOutcome(file, r);
  hsize_t dims[2];
  // What is in the file counts, also when the run never wrote its outcome.
  if (H5Lexists(samplesAt, "samples", H5P_DEFAULT) > 0) {
    CheckedReader(samplesAt, where).Dataset("samples", 1, dims);
    r.Samples = dims[0];
  }
  if (H5Lexists(root, "lost", H5P_DEFAULT) > 0) {
    const Id set = file.Dataset("lost", 2, dims);
    if (dims[1] != 2) throw file.Damaged("dataset lost has " + Grouped(dims[1]) + " columns where it has 2");
    // Every row of /lost is written when it is added, uncompressed, so the
    // file stores all the rows it declares; rows beyond that would read as
    // made-up gaps.
    const Id type(H5Dget_type(*set), H5Tclose, "get a dataset's type");
    const std::uint64_t rowBytes = 2 * H5Tget_size(*type);
    const std::uint64_t stored = H5Dget_storage_size(*set);
    if (dims[0] > stored / rowBytes)
      throw file.Damaged("dataset lost declares " + Grouped(dims[0]) + " gaps (" +
                         FormatBytes(double(dims[0]) * double(rowBytes)) + ") and the file holds " +
                         FormatBytes(double(stored)) + " of them");
    // Only the gaps that are shown are read, a block of rows at a time: the
    // row count is whatever the file declares.
    const hsize_t rows = std::min<hsize_t>(dims[0], MaxKeptGaps);
    std::uint64_t block[GapRowsPerRead * 2];
    const Id fileSpace(H5Dget_space(*set), H5Sclose, "get a dataspace");
    for (hsize_t first = 0; first < rows; first += GapRowsPerRead) {
      const hsize_t start[2] = {first, 0}, count[2] = {std::min(GapRowsPerRead, rows - first), 2};
      const Id memSpace(H5Screate_simple(2, count, nullptr), H5Sclose, "make a dataspace");
      if (H5Sselect_hyperslab(*fileSpace, H5S_SELECT_SET, start, nullptr, count, nullptr) < 0 ||
          H5Dread(*set, H5T_NATIVE_UINT64, *memSpace, *fileSpace, H5P_DEFAULT, block) < 0)
        throw file.Damaged("dataset lost cannot be read");
      for (hsize_t i = 0; i < count[0]; ++i) {
        LossGap g;
        g.FirstSample = block[2 * i];
        g.Samples = block[2 * i + 1];
        g.TimeS = r.FrequencyHz > 0 ? double(g.FirstSample) / r.FrequencyHz : 0;
        r.Gaps.push_back(g);
      }
    }
  }
  return r;
}

}  // namespace

namespace {

// libhdf5 trusts the metadata of a file: a damaged global heap sends 1.10
// into a loop that never ends, and other damage crashes it. So a file is
// read in a child process with a deadline, which hands back what it read as
// the text of a side file; that text is checked again here like any side
// file.
constexpr double ReadSeconds = 20;

// A file that starts with the HDF5 signature (the caller looked) and that
// the library still cannot open is damaged.
Id OpenSigned(hid_t file, const std::string& where) {
  if (file < 0) throw DamagedFile(where, "the HDF5 library cannot open it");
  return Id(file, H5Fclose, "open a file");
}

// The largest group a file may declare: far more devices than one host
// records at once.
constexpr std::int64_t MaxGroupDevices = 1024;

double CheckedSpread(hid_t entry, const std::string& where) {
  if (H5Lexists(entry, "start_spread_s", H5P_DEFAULT) <= 0) return 0;
  const Id set(H5Dopen2(entry, "start_spread_s", H5P_DEFAULT), H5Dclose, "open start_spread_s");
  const Id space(H5Dget_space(*set), H5Sclose, "get a dataspace");
  const Id type(H5Dget_type(*set), H5Tclose, "get a dataset's type");
  double value = 0;
  if (H5Sget_simple_extent_npoints(*space) != 1 || H5Tget_class(*type) != H5T_FLOAT ||
      H5Dread(*set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value) < 0 || !(value >= 0 && value < 1e9))
    throw DamagedFile(where, "dataset entry/start_spread_s is not one time in seconds");
  return value;
}

H5Contents ReadOpenFile(hid_t file, const std::string& where) {
  H5Contents c;
  const CheckedReader root(file, where);
  if (root.Has("frequency_hz") || !root.Has("devices")) {
    c.Devices.push_back(ReadOpenRecording(file, file, where));
    return c;
  }
  c.Group = true;
  const std::int64_t n = root.Integer("devices");
  if (n < 1 || n > MaxGroupDevices)
    throw DamagedFile(where, "attribute devices is " + Grouped(static_cast<std::uint64_t>(n)) + ", outside 1 to " +
                                 Grouped(MaxGroupDevices));
  const Id entry(H5Gopen2(file, "entry", H5P_DEFAULT), H5Gclose, "open group entry");
  c.StartSpreadS = CheckedSpread(*entry, where);
  for (std::int64_t i = 0; i < n; ++i) {
    const std::string name = "device" + std::to_string(i);
    if (H5Lexists(*entry, name.c_str(), H5P_DEFAULT) <= 0)
      throw DamagedFile(where, "group entry/" + name + " is missing");
    const Id data(H5Gopen2(*entry, name.c_str(), H5P_DEFAULT), H5Gclose, ("open group entry/" + name).c_str());
    const Id collection(H5Gopen2(file, ("entry/instrument/" + name).c_str(), H5P_DEFAULT), H5Gclose,
                        ("open group entry/instrument/" + name).c_str());
    c.Devices.push_back(ReadOpenRecording(*collection, *data, where));
  }
  return c;
}

// A file's contents, read in a child process, as one JSON text.
H5Contents ReadApart(const std::string& where, const std::function<H5Contents()>& read) {
  std::string text;
  try {
    text = RunIsolated(
        [&] {
          return H5ContentsText(read());
        },
        ReadSeconds, MaxSideFileBytes * 16);
  } catch (const IsolatedFault& f) {
    throw DamagedFile(where, "the HDF5 library " + f.What + " while reading it");
  }
  return ParseH5ContentsText(text, where);
}

}  // namespace

H5Contents ReadH5File(const std::string& path) {
  return ReadApart(path, [&] {
    Quiet();
    return ReadOpenFile(*OpenSigned(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), path), path);
  });
}

RecordingInfo ReadH5Recording(const std::string& path) {
  H5Contents c = ReadH5File(path);
  if (c.Group) throw Failure(path + " is a group recording of " + std::to_string(c.Devices.size()) + " devices");
  return c.Devices.front();
}

RecordingInfo ReadH5RecordingImage(const void* bytes, std::size_t size, const std::string& where) {
  H5Contents c = ReadApart(where, [&] {
    Quiet();
    Id fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, "make a file access property list");
    Ok(H5Pset_fapl_core(*fapl, 1 << 16, 0), "keep a file in memory");
    Ok(H5Pset_file_image(*fapl, const_cast<void*>(bytes), size), "keep a file in memory");
    return ReadOpenFile(*OpenSigned(H5Fopen(where.c_str(), H5F_ACC_RDONLY, *fapl), where), where);
  });
  return c.Devices.front();
}

}  // namespace velmora::cli
