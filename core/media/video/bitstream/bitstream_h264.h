#pragma once
// H.264 bitstream readers and the sequence-parameter-set writer.
//
// The stream functions take Annex B byte streams: they look for the start code 00 00 01 while at
// least 4 bytes remain and hand the unit after it (with every byte left in the stream) to the
// matching NAL function. Results: 0 found (outputs set), -1 nothing found (a probe tries the next
// codec), -2 the stream is H.264 but the answer is not available (an IDR slice before any sequence
// parameter set, a parameter set that is malformed or ends early). The NAL functions answer -3
// for an IDR slice, which the stream functions turn into -2.
//
// Nothing is read outside the given length; sizes are computed in 64 bits and a size that is not
// a positive int answers -2. The record keeps at most 255 picture-order offsets and 32 CPB
// entries: a parameter set that counts more answers -2.
//
// Thread safety: pure functions; callable from any thread. The scratch copy of one unit is the
// only allocation.

#include <cstddef>
#include <cstdint>

#include "core/media/video/bitstream/bit_io.h"

// HRD parameters (ITU-T H.264 E.1.2).
struct hx_hrd {
  uint32_t cpb_cnt_minus1 = 0;  // at most 31
  uint32_t bit_rate_scale = 0;
  uint32_t cpb_size_scale = 0;
  uint32_t bit_rate_value_minus1[32] = {};
  uint32_t cpb_size_value_minus1[32] = {};
  uint32_t cbr_flag[32] = {};
  uint32_t initial_cpb_removal_delay_length_minus1 = 0;
  uint32_t cpb_removal_delay_length_minus1 = 0;
  uint32_t dpb_output_delay_length_minus1 = 0;
  uint32_t time_offset_length = 0;
  bool operator==(const hx_hrd&) const = default;
};

// VUI parameters (ITU-T H.264 E.1.1), in their order.
struct hx_vui {
  uint32_t aspect_ratio_info_present_flag = 0;
  uint32_t aspect_ratio_idc = 0;
  uint32_t sar_width = 0;  // read when aspect_ratio_idc is 255
  uint32_t sar_height = 0;
  uint32_t overscan_info_present_flag = 0;
  uint32_t overscan_appropriate_flag = 0;
  uint32_t video_signal_type_present_flag = 0;
  uint32_t video_format = 0;
  uint32_t video_full_range_flag = 0;
  uint32_t colour_description_present_flag = 0;
  uint32_t colour_primaries = 0;
  uint32_t transfer_characteristics = 0;
  uint32_t matrix_coefficients = 0;
  uint32_t chroma_loc_info_present_flag = 0;
  uint32_t chroma_sample_loc_type_top_field = 0;
  uint32_t chroma_sample_loc_type_bottom_field = 0;
  uint32_t timing_info_present_flag = 0;
  uint32_t num_units_in_tick = 0;
  uint32_t time_scale = 0;
  uint32_t fixed_frame_rate_flag = 0;
  uint32_t nal_hrd_parameters_present_flag = 0;
  hx_hrd nal_hrd;
  uint32_t vcl_hrd_parameters_present_flag = 0;
  hx_hrd vcl_hrd;
  uint32_t low_delay_hrd_flag = 0;  // read when either HRD is present
  uint32_t pic_struct_present_flag = 0;
  uint32_t bitstream_restriction_flag = 0;
  uint32_t motion_vectors_over_pic_boundaries_flag = 0;
  uint32_t max_bytes_per_pic_denom = 0;
  uint32_t max_bits_per_mb_denom = 0;
  uint32_t log2_max_mv_length_horizontal = 0;
  uint32_t log2_max_mv_length_vertical = 0;
  uint32_t max_num_reorder_frames = 0;
  uint32_t max_dec_frame_buffering = 0;
  bool operator==(const hx_vui&) const = default;
};

// A sequence parameter set (ITU-T H.264 7.3.2.1.1). Fields marked "+n" hold the coded value plus n.
struct hx_sps {
  uint32_t nal_header = 0;  // the NAL header byte
  uint32_t profile_idc = 0;
  uint32_t level_idc = 0;
  uint32_t constraint_set0_flag = 0;
  uint32_t constraint_set1_flag = 0;
  uint32_t constraint_set2_flag = 0;
  uint32_t constraint_set3_flag = 0;
  uint32_t chroma_format_idc = 1;  // 1 when the profile has no extended header
  uint32_t seq_parameter_set_id = 0;
  uint32_t log2_max_frame_num = 0;  // +4
  uint32_t pic_order_cnt_type = 0;
  uint32_t bit_depth_luma = 8;    // +8
  uint32_t bit_depth_chroma = 8;  // +8
  uint32_t delta_pic_order_always_zero_flag = 0;
  uint32_t frame_mbs_only_flag = 0;
  uint32_t gaps_in_frame_num_value_allowed_flag = 0;
  uint32_t mb_adaptive_frame_field_flag = 0;
  uint32_t direct_8x8_inference_flag = 0;
  uint32_t vui_parameters_present_flag = 0;
  hx_vui vui;
  uint32_t frame_cropping_flag = 0;
  uint32_t frame_crop_left_offset = 0;
  uint32_t frame_crop_right_offset = 0;
  uint32_t frame_crop_top_offset = 0;
  uint32_t frame_crop_bottom_offset = 0;
  uint32_t log2_max_pic_order_cnt_lsb = 0;  // +4
  int32_t offset_for_non_ref_pic = 0;
  int32_t offset_for_top_to_bottom_field = 0;
  uint32_t num_ref_frames_in_pic_order_cnt_cycle = 0;  // at most 255
  int32_t offset_for_ref_frame[256] = {};
  uint32_t max_num_ref_frames = 0;
  uint32_t pic_width_in_mbs = 0;         // +1
  uint32_t pic_height_in_map_units = 0;  // +1
  uint32_t qpprime_y_zero_transform_bypass_flag = 0;
  uint32_t seq_scaling_matrix_present_flag = 0;
  uint32_t separate_colour_plane_flag = 0;
  bool operator==(const hx_sps&) const = default;
};

// The picture size announced by one unit (NAL header first; `length` may run past the unit, which
// is read up to the next start code). Type 1 (non-IDR slice) -1, type 5 (IDR slice) -3, type 7
// (sequence parameter set) 0 with the cropped size or -2, any other type -2; length ≤ 0 -1.
int ResolutionFromNAL_H264(const uint8_t* nal, int length, int& width, int& height);
// The first answer of ResolutionFromNAL_H264 that is 0 or -1 over the units of the stream, -3
// answered as -2; -1 at the end of the stream.
int ResolutionFromBitstream_H264(const uint8_t* stream, int length, int& width, int& height);

// length ≤ 0 or type 1 -1, type 5 0, any other type -2.
int TypeSliceFromNAL_H264(const uint8_t* nal, int length);
// delta := 1; at the first slice unit: type 1 -1, type 5 delta := 0 and 0; no slice -1.
int TypeSliceFromBitstream_H264(const uint8_t* stream, int length, int& delta);

// The first start code of the stream (null when none), with size := its bytes up to the next start
// code or the end of the stream (start code included) and isSps := the unit is a sequence
// parameter set.
const uint8_t* IsBitstreamSPS_264(const uint8_t* stream, int length, bool& isSps, int& size);
// Bytes of the unit at `nal` up to the next start code, or `length` when none follows.
int GetNALSize(const uint8_t* nal, int length);

// Like ResolutionFromNAL_H264, filling `sps` from a sequence parameter set whose emulation-
// prevention bytes are already removed (the whole of `length` is the unit). The record is written
// only on 0.
int SPSFromNAL_H264(const uint8_t* nal, int length, hx_sps* sps);
// At each start code: nal := the start code, nalSize := the unit's bytes with the start code; the
// unit without its emulation-prevention bytes goes to SPSFromNAL_H264. 0 and -1 are final, -3 is
// answered as -2, other answers continue the scan; -1 at the end of the stream.
int SPSFromBitstream_H264(const uint8_t* stream, int length, hx_sps* sps, const uint8_t*& nal,
                          int& nalSize);

// Reads the VUI at the position: 0, or -2 when it ends early or counts more than 32 CPB entries.
int ParseVUI_H264(hx_vui* vui, hx_bitpos& position);
// Writes the VUI; false (with part of it written) when a CPB count is above 31.
bool WriteVUI_H264(const hx_vui* vui, h264Bitstream* bs);

// Writes the record as a unit with the 4-byte start code and emulation prevention into `buffer`,
// answering its bytes; 0 (nothing written) when it does not fit in `capacity` or the record counts
// more entries than it can hold. Scaling lists are not kept in the record: when the record's
// seq_scaling_matrix_present_flag is set, every list is written as absent.
int SPSToNAL_H264(uint8_t* buffer, int capacity, const hx_sps* sps);

// Writes 00 00 00 01 and payload[0], then the rest of the payload with 03 inserted after every two
// zero bytes that a byte ≤ 3 follows. outLength := length + 4 + the bytes inserted (0 when
// length ≤ 0, nothing written). `output` must hold 4 + length + (length - 1) / 2 bytes.
void ExtractRTPData(const uint8_t* payload, int length, uint8_t* output, int& outLength);

// Logs "Found NAL %d" with the type of every unit of the stream through ios_log.
void PrintBitsrreamNAL_264(const uint8_t* stream, int length);
