/* SPDX-License-Identifier: GPL-2.0-or-later */
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
 * record_read is the read operation of such a node; record_file_open and
 * record_file_release its open and release.
 *
 * Freestanding C++11, header only, with internal linkage: each driver file
 * that reads this way builds its own copy.
 */
#ifndef KERNEL_RECORD_FILE_H
#define KERNEL_RECORD_FILE_H

#include "ks.h"

template <unsigned int L> struct record_file {
	char text[L + 1]; /* the record and its terminating NUL */
	bool begun;	  /* text is delivered in part */
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
static bool record_plan(const record_file<L> *file, ks_size_t length, ks_loff_t *offset,
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
static ks_ssize_t record_deliver(record_file<L> *file, char *buffer, const record_piece *piece,
				 ks_loff_t *offset)
{
	if (ks_copy_to_user(buffer, file->text + piece->start, piece->count))
		return -EFAULT;
	*offset = piece->start + piece->count;
	file->begun = *offset < L;
	return piece->count;
}

/* open and release of a node that reads this way. */
template <unsigned int L> static int record_file_open(struct ks_file *filp)
{
	record_file<L> *file = static_cast<record_file<L> *>(ks_kzalloc(sizeof(record_file<L>)));

	if (!file)
		return -ENOMEM;
	ks_set_file_private(filp, file);
	return 0;
}

static inline void record_file_release(struct ks_file *filp)
{
	ks_kfree(ks_file_private(filp));
	ks_set_file_private(filp, 0);
}

template <unsigned int L> static record_file<L> *record_file_of(struct ks_file *filp)
{
	return static_cast<record_file<L> *>(ks_file_private(filp));
}

/*
 * The read operation. Under the module lock: plans the read; when it is to
 * deliver a fresh record, make writes one into text (L characters and the
 * NUL) and returns 0, or an error the read returns; delivers the piece;
 * once a fresh record reached the reader, consumed (when given) runs, still
 * under the lock, for a record whose making must be undone only then.
 * Returns the count delivered, 0 at end of file, -EFAULT when the copy
 * failed (nothing delivered, the position kept; the caller logs it), or the
 * error of the lock or of make.
 */
template <unsigned int L>
static ks_ssize_t record_read(struct ks_file *filp, char *buffer, ks_size_t length,
			      ks_loff_t *offset, int (*make)(char *text),
			      void (*consumed)(void) = 0)
{
	record_file<L> *file = record_file_of<L>(filp);
	record_piece piece;
	ks_ssize_t ret;
	int err = ks_lock();

	if (err)
		return err;
	if (!record_plan(file, length, offset, &piece)) {
		ks_unlock();
		return 0;
	}
	if (piece.fresh) {
		err = make(file->text);
		if (err) {
			ks_unlock();
			return err;
		}
	}
	ret = record_deliver(file, buffer, &piece, offset);
	if (ret >= 0 && piece.fresh && consumed)
		consumed();
	ks_unlock();
	return ret;
}

#endif /* KERNEL_RECORD_FILE_H */
