#include "db/firebird/fb_blobs.h"

#include <algorithm>

#include "db/firebird/fb_api.h"
#include "db/firebird/fb_errors.h"
#include "db/firebird/fb_owners.h"
#include "db/firebird/fb_params.h"

namespace qm {
namespace {

constexpr int kReadSegment = 32768;
constexpr int kWriteSegment = 16384;
constexpr ISC_STATUS kSegmentNotFinished = 335544366;  // isc_segment

void CheckBlob(const TFBHandles& handles) {
  if (handles.Lib == nullptr || handles.DB == nullptr || handles.TR == nullptr)
    throw EFBClientError(0, "Handles not opened");
}

// Closes the blob on purpose; a blob not closed is cancelled where its owner ends.
void CloseBlob(TmncFBLib& lib, TFBBlobHandle& blob) {
  TFBStatus status;
  CheckFBStatus(lib, lib.isc_close_blob(status.Data(), blob.Address()), status.Data());
  blob.Forget();  // closed (the library cleared the handle)
}

}  // namespace

std::string FBReadBlob(const TFBHandles& handles, const ISC_QUAD& id) {
  CheckBlob(handles);
  TmncFBLib& lib = *handles.Lib;
  TFBBlobHandle blob(lib);
  ISC_QUAD blob_id = id;
  TFBStatus status;
  CheckFBStatus(lib,
                lib.isc_open_blob2(status.Data(), handles.DB, handles.TR, blob.Address(), &blob_id,
                                   0, nullptr),
                status.Data());
  const char items[] = {isc_info_blob_num_segments, isc_info_blob_max_segment,
                        isc_info_blob_total_length, isc_info_blob_type};
  char reply[100] = {};
  CheckFBStatus(
      lib,
      lib.isc_blob_info(status.Data(), blob.Address(), sizeof items, items, sizeof reply, reply),
      status.Data());
  std::int64_t total = 0;
  {
    const TFBBuffer info(reply, sizeof reply);
    const int pos = FindInfoItem(info, isc_info_blob_total_length);
    if (pos >= 0) {
      const int length = static_cast<int>(FBPortableInteger(reply + pos, 2) & 0xFFFF);
      total = FBPortableInteger(reply + pos + 2, std::min(length, 8));
    }
  }
  std::string content(static_cast<std::size_t>(std::max<std::int64_t>(total, 0)), '\0');
  std::size_t offset = 0;
  while (offset < content.size()) {
    unsigned short got = 0;
    const auto want =
        static_cast<unsigned short>(std::min<std::size_t>(kReadSegment, content.size() - offset));
    const ISC_STATUS result =
        lib.isc_get_segment(status.Data(), blob.Address(), &got, want, content.data() + offset);
    if (result != 0 && result != kSegmentNotFinished) {
      if (result == isc_segstr_eof)
        break;
      RaiseFBError(lib, status.Data());
    }
    offset += got;
    if (got == 0 && result == 0)
      break;
  }
  content.resize(offset);
  CloseBlob(lib, blob);
  return content;
}

ISC_QUAD FBWriteBlob(const TFBHandles& handles, std::string_view bytes) {
  CheckBlob(handles);
  TmncFBLib& lib = *handles.Lib;
  TFBBlobHandle blob(lib);
  ISC_QUAD id{};
  TFBStatus status;
  CheckFBStatus(
      lib,
      lib.isc_create_blob2(status.Data(), handles.DB, handles.TR, blob.Address(), &id, 0, nullptr),
      status.Data());
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    const auto length =
        static_cast<unsigned short>(std::min<std::size_t>(kWriteSegment, bytes.size() - offset));
    CheckFBStatus(lib,
                  lib.isc_put_segment(status.Data(), blob.Address(), length, bytes.data() + offset),
                  status.Data());
    offset += length;
  }
  CloseBlob(lib, blob);
  return id;
}

}  // namespace qm
