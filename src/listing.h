// listing.h: which files of a directory become pages, and in which order; the one home of the
// image-name test and of both name orders, for the conversions, the tool and Python.
#ifndef FOLIAN_LISTING_H
#define FOLIAN_LISTING_H

// Whether the file name of `path` (after the last '/') carries the extension of an input
// format, any case: .png, .jpg or .jpeg, and with `all_formats` every format of the table.
bool listing_is_image_path(const char *path, bool all_formats);

// "dir/name" of every image file of `dir`, sorted (natural: digit runs compared as numbers),
// in one mem_malloc block: the pointer array, then the texts. *paths is null when none.
enum ListingStatus { LISTING_OK, LISTING_CANNOT_OPEN, LISTING_NO_MEMORY };
ListingStatus listing_collect(const char *dir, bool natural, bool all_formats, char ***paths, int *count);

#endif
