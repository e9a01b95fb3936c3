/*
 * The one-shot record read that /dev/accel, /dev/KEY and /dev/SW share: a
 * read returns one text record of L characters, the next read end of file,
 * the one after a fresh record.
 *
 * Each open file keeps the record it is delivering (record_file, set up at
 * open), so that a reader whose buffer is smaller than the record gets the
 * rest of the same text on its next reads, whatever their sizes, and then
 * end of file; no other reader can change or take that text. The file
 * position says how much was delivered:
 *
 *   0              the next read makes a fresh record
 *   1 .. L-1       a record is begun: the next read continues it (a
 *                  positioned read inside a record no read has begun
 *                  delivers that part of a fresh record)
 *   L or beyond    end of file; the position becomes 0
 *
 * Callers serialise their use of one record_file (the module lock), make
 * the record when the plan says fresh, and deliver under the same lock.
 *
 * Freestanding C++11, header only: each driver module builds its own copy.
 */
#ifndef KERNEL_RECORD_FILE_H
#define KERNEL_RECORD_FILE_H

#include "ks.h"

template <unsigned int L> struct record_file {
	char text[L + 1]; /* the record and its terminating NUL */
	bool begun;       /* text is delivered in part */
};

/* What one read delivers: count characters of the record from start. */
struct record_piece {
	unsigned int start;
	unsigned int count;
	bool fresh; /* make a new record first */
};

/*
 * Plans a read of length bytes at *offset. False when it delivers nothing:
 * a zero length, or end of file (then *offset becomes 0).
 */
template <unsigned int L>
bool record_plan(const record_file<L> *file, ks_size_t length, ks_loff_t *offset,
		 record_piece *piece)
{
	if (*offset < 0 || *offset >= L) {
		*offset = 0;
		return false;
	}
	if (!length)
		return false;

	unsigned int position = (unsigned int)*offset;
	unsigned int left = L - position;

	piece->fresh = position == 0 || !file->begun;
	piece->start = position;
	piece->count = length < left ? (unsigned int)length : left;
	return true;
}

/*
 * Copies the planned piece of the record to the reader. On success the
 * position moves past it and the count is returned; a copy that fails
 * changes nothing and gives -EFAULT.
 */
template <unsigned int L>
ks_ssize_t record_deliver(record_file<L> *file, char *buffer, const record_piece *piece,
			  ks_loff_t *offset)
{
	if (ks_copy_to_user(buffer, file->text + piece->start, piece->count))
		return -EFAULT;
	*offset = piece->start + piece->count;
	file->begun = *offset < L;
	return piece->count;
}

/* open and release of a node that reads this way. */
template <unsigned int L> int record_file_open(struct ks_file *filp)
{
	record_file<L> *file = static_cast<record_file<L> *>(ks_kzalloc(sizeof(record_file<L>)));

	if (!file)
		return -ENOMEM;
	ks_set_file_private(filp, file);
	return 0;
}

inline void record_file_release(struct ks_file *filp)
{
	ks_kfree(ks_file_private(filp));
	ks_set_file_private(filp, 0);
}

template <unsigned int L> record_file<L> *record_file_of(struct ks_file *filp)
{
	return static_cast<record_file<L> *>(ks_file_private(filp));
}

#endif /* KERNEL_RECORD_FILE_H */
