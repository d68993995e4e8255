#pragma once
// The compressor of the container's wire form: an order-0 adaptive byte model driving a 32-bit
// carry-less range coder. Peers must reproduce the model and the coder bit for bit, since the coded
// bytes carry no header, no model description and no end marker: the decoder is told how many bytes
// to produce and reports how many coded bytes it consumed. All three functions are reentrant and
// allocate nothing (the model lives on the stack of the call).

#include <cstddef>
#include <cstdint>

// Codes `length` bytes of `source` into `destination`, which has room for `capacity` bytes.
// Returns the number of bytes written (one per normalisation shift plus four flush bytes), or -1 when
// they would not fit; the destination then holds a partial result. Coding zero bytes writes the four
// flush bytes 00 00 00 00.
int64_t RCDV_Encode(const void* source, size_t length, void* destination, size_t capacity);

// Produces exactly `length` bytes into `destination` from at most `source_size` coded bytes.
// Returns the number of coded bytes consumed (for a correct input the encoder's output length, so
// trailing bytes are not counted), or -1 when the input is corrupt, shorter than four bytes or used
// up before `length` bytes were produced; the destination may then hold a partial result.
int64_t RCDV_DecodeSafe(const void* source, void* destination, size_t length, size_t source_size);

// RCDV_Encode and RCDV_DecodeSafe compiled only for the instructions every processor of the
// architecture has, without the code for newer processors that the two choose where the processor
// has it: the same result and the same output on every input. For tests that hold them side by side.
int64_t RCDV_EncodePortable(const void* source, size_t length, void* destination, size_t capacity);
int64_t RCDV_DecodeSafePortable(const void* source, void* destination, size_t length, size_t source_size);
