// Source annotations. The compiler has no use for them; they stay so a reader
// sees the contract (and the verifier checks the IRQL part at run time).
#pragma once

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_(x)
#define _In_reads_bytes_(x)
#define _In_reads_opt_(x)
#define _Out_writes_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_opt_(x)
#define _Out_writes_bytes_opt_(x)
#define _Out_writes_bytes_to_(x, y)
#define _Inout_updates_(x)
#define _Inout_updates_bytes_(x)
#define _Must_inspect_result_
#define _Success_(x)
#define _Check_return_
#define _Printf_format_string_
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Function_class_(x)
#define _When_(a, b)
#define _Use_decl_annotations_
#define _Strict_type_match_
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Guarded_by_(x)
#define __drv_aliasesMem
#define __drv_allocatesMem(x)
#define __drv_freesMem(x)
#define __drv_maxIRQL(x)
#define __drv_requiresIRQL(x)
#define _Field_size_(x)
#define _Field_size_bytes_(x)
#define _Null_terminated_
#define _Post_
#define _Pre_
