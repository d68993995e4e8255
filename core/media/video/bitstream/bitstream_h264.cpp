#include "core/media/video/bitstream/bitstream_h264.h"

#include <climits>
#include <cstring>
#include <vector>

#include "core/base/ios_log.h"

namespace {

using hx::bitstream::FindStartCode;
using hx::bitstream::RemoveEmulationPrevention;
using hx::bitstream::UnitSize;

constexpr int kNalSlice = 1;
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;

// Room for the longest record SPSToNAL_H264 writes: 255 picture-order offsets and two HRDs of 32
// entries, every Exp-Golomb code at its longest (65 bits), are under 4 KB; PutBits keeps 5 bytes.
constexpr size_t kSpsScratch = 8192;

// Crop units by chroma_format_idc.
constexpr int kCropUnitX[4] = {1, 2, 2, 1};
constexpr int kCropUnitY[4] = {1, 2, 1, 1};

bool HasExtendedHeader(uint32_t profile) {
  switch (profile) {
    case 44:
    case 83:
    case 86:
    case 100:
    case 110:
    case 118:
    case 122:
    case 128:
    case 244:
      return true;
    default:
      return false;
  }
}

// An unsigned code that must fit in 32 bits with `plus` added, and stay at most `max`.
bool ReadUe(hx_bitpos& p, uint32_t& out, uint64_t max = 0xFFFFFFFEu) {
  const int64_t v = GetVLC(p, false);
  if (p.failed || static_cast<uint64_t>(v) > max) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool ReadSe(hx_bitpos& p, int32_t& out) {
  const int64_t v = GetVLC(p, true);
  if (p.failed || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

void SkipScalingList(hx_bitpos& p, int size) {
  int64_t last = 8;
  int64_t next = 8;
  for (int j = 0; j < size && !p.failed; ++j) {
    if (next != 0) {
      const int64_t delta = GetVLC(p, true);
      next = ((last + delta) % 256 + 256) % 256;
    }
    if (next != 0) last = next;
  }
}

int ParseHrd(hx_hrd* hrd, hx_bitpos& p) {
  if (!ReadUe(p, hrd->cpb_cnt_minus1)) return -2;
  if (hrd->cpb_cnt_minus1 > 31) return -2;
  hrd->bit_rate_scale = GetBits(p, 4);
  hrd->cpb_size_scale = GetBits(p, 4);
  for (uint32_t i = 0; i <= hrd->cpb_cnt_minus1; ++i) {
    if (!ReadUe(p, hrd->bit_rate_value_minus1[i]) || !ReadUe(p, hrd->cpb_size_value_minus1[i]))
      return -2;
    hrd->cbr_flag[i] = GetBit(p);
  }
  hrd->initial_cpb_removal_delay_length_minus1 = GetBits(p, 5);
  hrd->cpb_removal_delay_length_minus1 = GetBits(p, 5);
  hrd->dpb_output_delay_length_minus1 = GetBits(p, 5);
  hrd->time_offset_length = GetBits(p, 5);
  return p.failed ? -2 : 0;
}

bool WriteHrd(const hx_hrd* hrd, h264Bitstream* bs) {
  if (hrd->cpb_cnt_minus1 > 31) return false;
  PutVLC_ue(bs, hrd->cpb_cnt_minus1);
  PutBits(bs, 4, hrd->bit_rate_scale);
  PutBits(bs, 4, hrd->cpb_size_scale);
  for (uint32_t i = 0; i <= hrd->cpb_cnt_minus1; ++i) {
    PutVLC_ue(bs, hrd->bit_rate_value_minus1[i]);
    PutVLC_ue(bs, hrd->cpb_size_value_minus1[i]);
    PutBit(bs, hrd->cbr_flag[i] ? 1 : 0);
  }
  PutBits(bs, 5, hrd->initial_cpb_removal_delay_length_minus1);
  PutBits(bs, 5, hrd->cpb_removal_delay_length_minus1);
  PutBits(bs, 5, hrd->dpb_output_delay_length_minus1);
  PutBits(bs, 5, hrd->time_offset_length);
  return true;
}

// Reads a sequence parameter set without emulation-prevention bytes, header byte first, into
// `sps`, through its rbsp stop bit. 0 or -2.
int ParseSps(const uint8_t* data, size_t size, hx_sps* sps) {
  hx_bitpos p = BitPosition(data, size);
  hx_sps s;
  s.nal_header = GetBits(p, 8);
  s.profile_idc = GetBits(p, 8);
  s.constraint_set0_flag = GetBit(p);
  s.constraint_set1_flag = GetBit(p);
  s.constraint_set2_flag = GetBit(p);
  s.constraint_set3_flag = GetBit(p);
  GetBits(p, 4);
  s.level_idc = GetBits(p, 8);
  if (!ReadUe(p, s.seq_parameter_set_id, 31)) return -2;
  if (HasExtendedHeader(s.profile_idc)) {
    // chroma_format_idc indexes the crop-unit tables: 0 to 3 only.
    if (!ReadUe(p, s.chroma_format_idc, 3)) return -2;
    if (s.chroma_format_idc == 3) s.separate_colour_plane_flag = GetBit(p);
    uint32_t depth = 0;
    if (!ReadUe(p, depth, 6)) return -2;
    s.bit_depth_luma = depth + 8;
    if (!ReadUe(p, depth, 6)) return -2;
    s.bit_depth_chroma = depth + 8;
    s.qpprime_y_zero_transform_bypass_flag = GetBit(p);
    s.seq_scaling_matrix_present_flag = GetBit(p);
    if (s.seq_scaling_matrix_present_flag) {
      const int lists = s.chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists && !p.failed; ++i) {
        if (GetBit(p)) SkipScalingList(p, i < 6 ? 16 : 64);
      }
    }
  }
  uint32_t v = 0;
  if (!ReadUe(p, v, 12)) return -2;
  s.log2_max_frame_num = v + 4;
  if (!ReadUe(p, s.pic_order_cnt_type, 2)) return -2;
  if (s.pic_order_cnt_type == 0) {
    if (!ReadUe(p, v, 12)) return -2;
    s.log2_max_pic_order_cnt_lsb = v + 4;
  } else if (s.pic_order_cnt_type == 1) {
    s.delta_pic_order_always_zero_flag = GetBit(p);
    if (!ReadSe(p, s.offset_for_non_ref_pic) || !ReadSe(p, s.offset_for_top_to_bottom_field))
      return -2;
    if (!ReadUe(p, s.num_ref_frames_in_pic_order_cnt_cycle, 255)) return -2;
    for (uint32_t i = 0; i < s.num_ref_frames_in_pic_order_cnt_cycle; ++i) {
      if (!ReadSe(p, s.offset_for_ref_frame[i])) return -2;
    }
  }
  if (!ReadUe(p, s.max_num_ref_frames)) return -2;
  s.gaps_in_frame_num_value_allowed_flag = GetBit(p);
  if (!ReadUe(p, v)) return -2;
  s.pic_width_in_mbs = v + 1;
  if (!ReadUe(p, v)) return -2;
  s.pic_height_in_map_units = v + 1;
  s.frame_mbs_only_flag = GetBit(p);
  if (!s.frame_mbs_only_flag) s.mb_adaptive_frame_field_flag = GetBit(p);
  s.direct_8x8_inference_flag = GetBit(p);
  s.frame_cropping_flag = GetBit(p);
  if (s.frame_cropping_flag) {
    if (!ReadUe(p, s.frame_crop_left_offset) || !ReadUe(p, s.frame_crop_right_offset) ||
        !ReadUe(p, s.frame_crop_top_offset) || !ReadUe(p, s.frame_crop_bottom_offset))
      return -2;
  }
  s.vui_parameters_present_flag = GetBit(p);
  if (s.vui_parameters_present_flag && ParseVUI_H264(&s.vui, p) != 0) return -2;
  // The stop bit: a unit cut anywhere before it is refused, not read as a shorter set.
  if (GetBit(p) != 1 || p.failed) return -2;
  *sps = s;
  return 0;
}

// The size of a parsed set in 64 bits: -2 when it is not a positive int.
int SizeOfSps(const hx_sps& s, int& width, int& height) {
  const int64_t fieldFactor = 2 - static_cast<int64_t>(s.frame_mbs_only_flag ? 1 : 0);
  const int64_t unitX = kCropUnitX[s.chroma_format_idc & 3];
  const int64_t unitY = kCropUnitY[s.chroma_format_idc & 3] * fieldFactor;
  const int64_t w =
      static_cast<int64_t>(s.pic_width_in_mbs) * 16 -
      (static_cast<int64_t>(s.frame_crop_left_offset) + s.frame_crop_right_offset) * unitX;
  const int64_t h =
      static_cast<int64_t>(s.pic_height_in_map_units) * 16 * fieldFactor -
      (static_cast<int64_t>(s.frame_crop_top_offset) + s.frame_crop_bottom_offset) * unitY;
  if (w <= 0 || h <= 0 || w > INT_MAX || h > INT_MAX) return -2;
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return 0;
}

size_t Length(int length) { return length > 0 ? static_cast<size_t>(length) : 0; }

}  // namespace

int ResolutionFromNAL_H264(const uint8_t* nal, int length, int& width, int& height) {
  if (length <= 0 || !nal) return -1;
  const int type = nal[0] & 0x1F;
  if (type == kNalSlice) return -1;
  if (type == kNalIdr) return -3;
  if (type != kNalSps) return -2;
  std::vector<uint8_t> rbsp;
  RemoveEmulationPrevention(nal, UnitSize(nal, Length(length)), &rbsp);
  hx_sps sps;
  if (ParseSps(rbsp.data(), rbsp.size(), &sps) != 0) return -2;
  return SizeOfSps(sps, width, height);
}

int ResolutionFromBitstream_H264(const uint8_t* stream, int length, int& width, int& height) {
  const size_t size = Length(length);
  int64_t at = FindStartCode(stream, size, 0);
  while (at >= 0) {
    const size_t unit = static_cast<size_t>(at) + 3;
    const int r =
        ResolutionFromNAL_H264(stream + unit, static_cast<int>(size - unit), width, height);
    if (r == 0 || r == -1) return r;
    if (r == -3) return -2;
    at = FindStartCode(stream, size, unit);
  }
  return -1;
}

int TypeSliceFromNAL_H264(const uint8_t* nal, int length) {
  if (length <= 0 || !nal) return -1;
  const int type = nal[0] & 0x1F;
  if (type == kNalSlice) return -1;
  if (type == kNalIdr) return 0;
  return -2;
}

int TypeSliceFromBitstream_H264(const uint8_t* stream, int length, int& delta) {
  delta = 1;
  const size_t size = Length(length);
  for (int64_t at = FindStartCode(stream, size, 0); at >= 0;
       at = FindStartCode(stream, size, static_cast<size_t>(at) + 3)) {
    const int type = stream[at + 3] & 0x1F;
    if (type == kNalSlice) return -1;
    if (type == kNalIdr) {
      delta = 0;
      return 0;
    }
  }
  return -1;
}

const uint8_t* IsBitstreamSPS_264(const uint8_t* stream, int length, bool& isSps, int& size) {
  const size_t total = Length(length);
  const int64_t at = FindStartCode(stream, total, 0);
  if (at < 0) return nullptr;
  const size_t unit = static_cast<size_t>(at) + 3;
  isSps = (stream[unit] & 0x1F) == kNalSps;
  size = static_cast<int>(3 + UnitSize(stream + unit, total - unit));
  return stream + at;
}

int GetNALSize(const uint8_t* nal, int length) {
  if (!nal) return 0;
  return static_cast<int>(UnitSize(nal, Length(length)));
}

int SPSFromNAL_H264(const uint8_t* nal, int length, hx_sps* sps) {
  if (length <= 0 || !nal) return -1;
  const int type = nal[0] & 0x1F;
  if (type == kNalSlice) return -1;
  if (type == kNalIdr) return -3;
  if (type != kNalSps || !sps) return -2;
  hx_sps parsed;
  if (ParseSps(nal, Length(length), &parsed) != 0) return -2;
  int width = 0;
  int height = 0;
  if (SizeOfSps(parsed, width, height) != 0) return -2;
  *sps = parsed;
  return 0;
}

int SPSFromBitstream_H264(const uint8_t* stream, int length, hx_sps* sps, const uint8_t*& nal,
                          int& nalSize) {
  const size_t size = Length(length);
  std::vector<uint8_t> rbsp;
  for (int64_t at = FindStartCode(stream, size, 0); at >= 0;
       at = FindStartCode(stream, size, static_cast<size_t>(at) + 3)) {
    const size_t unit = static_cast<size_t>(at) + 3;
    const size_t unitSize = UnitSize(stream + unit, size - unit);
    nal = stream + at;
    nalSize = static_cast<int>(unitSize + 3);
    RemoveEmulationPrevention(stream + unit, unitSize, &rbsp);
    const int r = SPSFromNAL_H264(rbsp.data(), static_cast<int>(rbsp.size()), sps);
    if (r == 0 || r == -1) return r;
    if (r == -3) return -2;
  }
  return -1;
}

int ParseVUI_H264(hx_vui* vui, hx_bitpos& p) {
  hx_vui v;
  v.aspect_ratio_info_present_flag = GetBit(p);
  if (v.aspect_ratio_info_present_flag) {
    v.aspect_ratio_idc = GetBits(p, 8);
    if (v.aspect_ratio_idc == 255) {
      v.sar_width = GetBits(p, 16);
      v.sar_height = GetBits(p, 16);
    }
  }
  v.overscan_info_present_flag = GetBit(p);
  if (v.overscan_info_present_flag) v.overscan_appropriate_flag = GetBit(p);
  v.video_signal_type_present_flag = GetBit(p);
  if (v.video_signal_type_present_flag) {
    v.video_format = GetBits(p, 3);
    v.video_full_range_flag = GetBit(p);
    v.colour_description_present_flag = GetBit(p);
    if (v.colour_description_present_flag) {
      v.colour_primaries = GetBits(p, 8);
      v.transfer_characteristics = GetBits(p, 8);
      v.matrix_coefficients = GetBits(p, 8);
    }
  }
  v.chroma_loc_info_present_flag = GetBit(p);
  if (v.chroma_loc_info_present_flag) {
    if (!ReadUe(p, v.chroma_sample_loc_type_top_field) ||
        !ReadUe(p, v.chroma_sample_loc_type_bottom_field))
      return -2;
  }
  v.timing_info_present_flag = GetBit(p);
  if (v.timing_info_present_flag) {
    v.num_units_in_tick = GetBits(p, 32);
    v.time_scale = GetBits(p, 32);
    v.fixed_frame_rate_flag = GetBit(p);
  }
  v.nal_hrd_parameters_present_flag = GetBit(p);
  if (v.nal_hrd_parameters_present_flag && ParseHrd(&v.nal_hrd, p) != 0) return -2;
  v.vcl_hrd_parameters_present_flag = GetBit(p);
  if (v.vcl_hrd_parameters_present_flag && ParseHrd(&v.vcl_hrd, p) != 0) return -2;
  if (v.nal_hrd_parameters_present_flag || v.vcl_hrd_parameters_present_flag)
    v.low_delay_hrd_flag = GetBit(p);
  v.pic_struct_present_flag = GetBit(p);
  v.bitstream_restriction_flag = GetBit(p);
  if (v.bitstream_restriction_flag) {
    v.motion_vectors_over_pic_boundaries_flag = GetBit(p);
    if (!ReadUe(p, v.max_bytes_per_pic_denom) || !ReadUe(p, v.max_bits_per_mb_denom) ||
        !ReadUe(p, v.log2_max_mv_length_horizontal) || !ReadUe(p, v.log2_max_mv_length_vertical) ||
        !ReadUe(p, v.max_num_reorder_frames) || !ReadUe(p, v.max_dec_frame_buffering))
      return -2;
  }
  if (p.failed) return -2;
  *vui = v;
  return 0;
}

bool WriteVUI_H264(const hx_vui* v, h264Bitstream* bs) {
  PutBit(bs, v->aspect_ratio_info_present_flag ? 1 : 0);
  if (v->aspect_ratio_info_present_flag) {
    PutBits(bs, 8, v->aspect_ratio_idc);
    if (v->aspect_ratio_idc == 255) {
      PutBits(bs, 16, v->sar_width);
      PutBits(bs, 16, v->sar_height);
    }
  }
  PutBit(bs, v->overscan_info_present_flag ? 1 : 0);
  if (v->overscan_info_present_flag) PutBit(bs, v->overscan_appropriate_flag ? 1 : 0);
  PutBit(bs, v->video_signal_type_present_flag ? 1 : 0);
  if (v->video_signal_type_present_flag) {
    PutBits(bs, 3, v->video_format);
    PutBit(bs, v->video_full_range_flag ? 1 : 0);
    PutBit(bs, v->colour_description_present_flag ? 1 : 0);
    if (v->colour_description_present_flag) {
      PutBits(bs, 8, v->colour_primaries);
      PutBits(bs, 8, v->transfer_characteristics);
      PutBits(bs, 8, v->matrix_coefficients);
    }
  }
  PutBit(bs, v->chroma_loc_info_present_flag ? 1 : 0);
  if (v->chroma_loc_info_present_flag) {
    PutVLC_ue(bs, v->chroma_sample_loc_type_top_field);
    PutVLC_ue(bs, v->chroma_sample_loc_type_bottom_field);
  }
  PutBit(bs, v->timing_info_present_flag ? 1 : 0);
  if (v->timing_info_present_flag) {
    PutBits(bs, 32, v->num_units_in_tick);
    PutBits(bs, 32, v->time_scale);
    PutBit(bs, v->fixed_frame_rate_flag ? 1 : 0);
  }
  PutBit(bs, v->nal_hrd_parameters_present_flag ? 1 : 0);
  if (v->nal_hrd_parameters_present_flag && !WriteHrd(&v->nal_hrd, bs)) return false;
  PutBit(bs, v->vcl_hrd_parameters_present_flag ? 1 : 0);
  if (v->vcl_hrd_parameters_present_flag && !WriteHrd(&v->vcl_hrd, bs)) return false;
  if (v->nal_hrd_parameters_present_flag || v->vcl_hrd_parameters_present_flag)
    PutBit(bs, v->low_delay_hrd_flag ? 1 : 0);
  PutBit(bs, v->pic_struct_present_flag ? 1 : 0);
  PutBit(bs, v->bitstream_restriction_flag ? 1 : 0);
  if (v->bitstream_restriction_flag) {
    PutBit(bs, v->motion_vectors_over_pic_boundaries_flag ? 1 : 0);
    PutVLC_ue(bs, v->max_bytes_per_pic_denom);
    PutVLC_ue(bs, v->max_bits_per_mb_denom);
    PutVLC_ue(bs, v->log2_max_mv_length_horizontal);
    PutVLC_ue(bs, v->log2_max_mv_length_vertical);
    PutVLC_ue(bs, v->max_num_reorder_frames);
    PutVLC_ue(bs, v->max_dec_frame_buffering);
  }
  return true;
}

int SPSToNAL_H264(uint8_t* buffer, int capacity, const hx_sps* s) {
  if (!buffer || capacity <= 0 || !s || s->num_ref_frames_in_pic_order_cnt_cycle > 255) return 0;
  std::vector<uint8_t> raw(kSpsScratch);
  h264Bitstream bs;
  InitBitstream(&bs, raw.data(), raw.size());
  PutBits(&bs, 8, s->nal_header);
  PutBits(&bs, 8, s->profile_idc);
  PutBit(&bs, s->constraint_set0_flag ? 1 : 0);
  PutBit(&bs, s->constraint_set1_flag ? 1 : 0);
  PutBit(&bs, s->constraint_set2_flag ? 1 : 0);
  PutBit(&bs, s->constraint_set3_flag ? 1 : 0);
  PutBits(&bs, 4, 0);
  PutBits(&bs, 8, s->level_idc);
  PutVLC_ue(&bs, s->seq_parameter_set_id);
  if (HasExtendedHeader(s->profile_idc)) {
    PutVLC_ue(&bs, s->chroma_format_idc);
    if (s->chroma_format_idc == 3) PutBit(&bs, s->separate_colour_plane_flag ? 1 : 0);
    PutVLC_ue(&bs, s->bit_depth_luma - 8u);
    PutVLC_ue(&bs, s->bit_depth_chroma - 8u);
    PutBit(&bs, s->qpprime_y_zero_transform_bypass_flag ? 1 : 0);
    PutBit(&bs, s->seq_scaling_matrix_present_flag ? 1 : 0);
    // The lists themselves are not kept: each is written as absent so the unit stays readable.
    if (s->seq_scaling_matrix_present_flag) {
      const int lists = s->chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) PutBit(&bs, 0);
    }
  }
  PutVLC_ue(&bs, s->log2_max_frame_num - 4u);
  PutVLC_ue(&bs, s->pic_order_cnt_type);
  if (s->pic_order_cnt_type == 0) {
    PutVLC_ue(&bs, s->log2_max_pic_order_cnt_lsb - 4u);
  } else if (s->pic_order_cnt_type == 1) {
    PutBit(&bs, s->delta_pic_order_always_zero_flag ? 1 : 0);
    PutVLC_se(&bs, s->offset_for_non_ref_pic);
    PutVLC_se(&bs, s->offset_for_top_to_bottom_field);
    PutVLC_ue(&bs, s->num_ref_frames_in_pic_order_cnt_cycle);
    for (uint32_t i = 0; i < s->num_ref_frames_in_pic_order_cnt_cycle; ++i)
      PutVLC_se(&bs, s->offset_for_ref_frame[i]);
  }
  PutVLC_ue(&bs, s->max_num_ref_frames);
  PutBit(&bs, s->gaps_in_frame_num_value_allowed_flag ? 1 : 0);
  PutVLC_ue(&bs, s->pic_width_in_mbs - 1u);
  PutVLC_ue(&bs, s->pic_height_in_map_units - 1u);
  PutBit(&bs, s->frame_mbs_only_flag ? 1 : 0);
  if (!s->frame_mbs_only_flag) PutBit(&bs, s->mb_adaptive_frame_field_flag ? 1 : 0);
  PutBit(&bs, s->direct_8x8_inference_flag ? 1 : 0);
  PutBit(&bs, s->frame_cropping_flag ? 1 : 0);
  if (s->frame_cropping_flag) {
    PutVLC_ue(&bs, s->frame_crop_left_offset);
    PutVLC_ue(&bs, s->frame_crop_right_offset);
    PutVLC_ue(&bs, s->frame_crop_top_offset);
    PutVLC_ue(&bs, s->frame_crop_bottom_offset);
  }
  PutBit(&bs, s->vui_parameters_present_flag ? 1 : 0);
  if (s->vui_parameters_present_flag && !WriteVUI_H264(&s->vui, &bs)) return 0;
  PutTrailingBits(&bs);
  const size_t rawSize = BitstreamBytes(&bs);
  std::vector<uint8_t> unit(4 + rawSize + rawSize / 2 + 1);
  int unitSize = 0;
  ExtractRTPData(raw.data(), static_cast<int>(rawSize), unit.data(), unitSize);
  if (unitSize <= 0 || unitSize > capacity) return 0;
  std::memcpy(buffer, unit.data(), static_cast<size_t>(unitSize));
  return unitSize;
}

void ExtractRTPData(const uint8_t* payload, int length, uint8_t* output, int& outLength) {
  outLength = 0;
  if (length <= 0 || !payload || !output) return;
  size_t o = 0;
  output[o++] = 0;
  output[o++] = 0;
  output[o++] = 0;
  output[o++] = 1;
  output[o++] = payload[0];
  int zeros = 0;
  for (int i = 1; i < length; ++i) {
    const uint8_t b = payload[i];
    if (zeros == 2 && b <= 3) {
      output[o++] = 3;
      zeros = 0;
    }
    output[o++] = b;
    zeros = b == 0 ? zeros + 1 : 0;
  }
  outLength = static_cast<int>(o);
}

void PrintBitsrreamNAL_264(const uint8_t* stream, int length) {
  const size_t size = Length(length);
  for (int64_t at = FindStartCode(stream, size, 0); at >= 0;
       at = FindStartCode(stream, size, static_cast<size_t>(at) + 3)) {
    ios_log("Found NAL %d", stream[at + 3] & 0x1F);
  }
}
