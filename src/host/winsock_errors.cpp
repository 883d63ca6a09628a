#include "winsock_errors.h"

#include <netdb.h>

#include <cerrno>

namespace quodra::host {

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case EINTR: return kWsaEINTR;
    case EBADF: return kWsaEBADF;
    case EACCES: case EPERM: return kWsaEACCES;
    case EFAULT: return kWsaEFAULT;
    case EINVAL: return kWsaEINVAL;
    case EMFILE: case ENFILE: return kWsaEMFILE;
    case EAGAIN: return kWsaEWOULDBLOCK;
    case EINPROGRESS: return kWsaEINPROGRESS;
    case EALREADY: return kWsaEALREADY;
    case ENOTSOCK: return kWsaENOTSOCK;
    case EDESTADDRREQ: return kWsaEDESTADDRREQ;
    case EMSGSIZE: return kWsaEMSGSIZE;
    case EPROTOTYPE: return kWsaEPROTOTYPE;
    case ENOPROTOOPT: return kWsaENOPROTOOPT;
    case EPROTONOSUPPORT: return kWsaEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return kWsaESOCKTNOSUPPORT;
    case EOPNOTSUPP: return kWsaEOPNOTSUPP;
    case EPFNOSUPPORT: return kWsaEPFNOSUPPORT;
    case EAFNOSUPPORT: return kWsaEAFNOSUPPORT;
    case EADDRINUSE: return kWsaEADDRINUSE;
    case EADDRNOTAVAIL: return kWsaEADDRNOTAVAIL;
    case ENETDOWN: return kWsaENETDOWN;
    case ENETUNREACH: return kWsaENETUNREACH;
    case ENETRESET: return kWsaENETRESET;
    case ECONNABORTED: return kWsaECONNABORTED;
    case ECONNRESET: case EPIPE: return kWsaECONNRESET;
    case ENOBUFS: case ENOMEM: return kWsaENOBUFS;
    case EISCONN: return kWsaEISCONN;
    case ENOTCONN: return kWsaENOTCONN;
    case ESHUTDOWN: return kWsaESHUTDOWN;
    case ETOOMANYREFS: return kWsaETOOMANYREFS;
    case ETIMEDOUT: return kWsaETIMEDOUT;
    case ECONNREFUSED: return kWsaECONNREFUSED;
    case ELOOP: return kWsaELOOP;
    case ENAMETOOLONG: return kWsaENAMETOOLONG;
    case EHOSTDOWN: return kWsaEHOSTDOWN;
    case EHOSTUNREACH: return kWsaEHOSTUNREACH;
    case ENOTEMPTY: return kWsaENOTEMPTY;
    case EUSERS: return kWsaEUSERS;
    case EDQUOT: return kWsaEDQUOT;
    case ESTALE: return kWsaESTALE;
    case EREMOTE: return kWsaEREMOTE;
    default: return err;
  }
}

int WinsockErrorFromResolver(int gaiError, int err) {
  switch (gaiError) {
    case 0: return 0;
    case EAI_NONAME: return kWsaHOST_NOT_FOUND;
    case EAI_AGAIN: return kWsaTRY_AGAIN;
    case EAI_FAIL: return kWsaNO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return kWsaNO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kWsaNO_DATA;
#endif
    case EAI_SERVICE: return kWsaNO_DATA;
    case EAI_MEMORY: return kWsaENOBUFS;
    case EAI_SYSTEM: return WinsockErrorFromErrno(err);
    default: return kWsaNO_RECOVERY;
  }
}

}  // namespace quodra::host
