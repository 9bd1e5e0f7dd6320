// The fields of the UPDATEINFO record, one row each, in the order of the record and of its
// stream form. Each includer defines ORV_RECORD_FIELD(Member, Info, Kind, Role) first; the
// file undefines it at the end.
//   Member  the UPDATEINFO member (OrvaneControl.idl)
//   Info    the matching UpdateInfo member (common/updateinfo/updateinfo.h)
//   Kind    Text (a BSTR in the record, a byte string in UpdateInfo) or Number (32 bits)
//   Role    File (one of the six fields of the file) or Reserved (kept by the record only)
// The stream keeps the fields in this order: reordering rows changes the saved bytes.
ORV_RECORD_FIELD(Name, Name, Text, File)
ORV_RECORD_FIELD(Version, Version, Text, File)
ORV_RECORD_FIELD(ReleaseDate, ReleaseDate, Text, File)
ORV_RECORD_FIELD(Description, Description, Text, File)
ORV_RECORD_FIELD(PackageFile, PackageFile, Text, File)
ORV_RECORD_FIELD(PackageSize, PackageSize, Number, File)
ORV_RECORD_FIELD(Reserved1, Reserved1, Text, Reserved)
ORV_RECORD_FIELD(Reserved2, Reserved2, Text, Reserved)
#undef ORV_RECORD_FIELD
